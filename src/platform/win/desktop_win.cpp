#include "platform/win/desktop_win.h"
// After windows.h, which it needs.
#include <dwmapi.h>

#include <algorithm>

#include "support/os_error.h"

namespace vantle::win {

namespace {

HWND as_hwnd(std::uint64_t handle) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(handle));
}

FrameRect frame_of(const RECT& rect) {
    return FrameRect{rect.left, rect.top, rect.right, rect.bottom};
}

// The live answers for the listing rules.
class Win32WindowQueries final : public WindowQueries {
  public:
    bool visible(std::uint64_t handle) override { return IsWindowVisible(as_hwnd(handle)) != 0; }

    std::uint32_t owner_pid(std::uint64_t handle) override {
        DWORD pid = 0;
        (void)GetWindowThreadProcessId(as_hwnd(handle), &pid);
        return pid;
    }

    std::u16string title(std::uint64_t handle) override {
        const int length = GetWindowTextLengthW(as_hwnd(handle));
        if (length < 1) {
            return {};
        }
        std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
        const int copied =
            GetWindowTextW(as_hwnd(handle), reinterpret_cast<wchar_t*>(text.data()), length + 1);
        // The text may have shortened since its length was read.
        text.resize(static_cast<std::size_t>(std::clamp(copied, 0, length)));
        return text;
    }

    std::optional<bool> cloaked(std::uint64_t handle) override {
        DWORD value = 0;
        if (FAILED(DwmGetWindowAttribute(as_hwnd(handle), DWMWA_CLOAKED, &value, sizeof value))) {
            return std::nullopt;
        }
        return value != 0;
    }

    bool iconic(std::uint64_t handle) override { return IsIconic(as_hwnd(handle)) != 0; }

    std::optional<FrameRect> extended_frame(std::uint64_t handle) override {
        RECT rect{};
        if (FAILED(DwmGetWindowAttribute(as_hwnd(handle), DWMWA_EXTENDED_FRAME_BOUNDS, &rect,
                                         sizeof rect))) {
            return std::nullopt;
        }
        return frame_of(rect);
    }

    std::optional<FrameRect> window_rect(std::uint64_t handle) override {
        RECT rect{};
        if (!GetWindowRect(as_hwnd(handle), &rect)) {
            return std::nullopt;
        }
        return frame_of(rect);
    }

    std::optional<std::u16string> image_path(std::uint32_t pid) override {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (process == nullptr) {
            return std::nullopt;
        }
        std::u16string path(1024, u'\0');
        DWORD size = static_cast<DWORD>(path.size());
        const BOOL read =
            QueryFullProcessImageNameW(process, 0, reinterpret_cast<wchar_t*>(path.data()), &size);
        CloseHandle(process);
        if (!read) {
            return std::nullopt;
        }
        path.resize(std::min<std::size_t>(size, path.size()));
        return path;
    }
};

BOOL CALLBACK add_monitor(HMONITOR monitor, HDC, LPRECT, LPARAM context) {
    reinterpret_cast<std::vector<HMONITOR>*>(context)->push_back(monitor);
    return TRUE;
}

BOOL CALLBACK add_window(HWND window, LPARAM context) {
    reinterpret_cast<std::vector<std::uint64_t>*>(context)->push_back(
        static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(window)));
    return TRUE;
}

Error system_error() {
    return Error(last_os_error_text());
}

}  // namespace

Result<std::vector<HMONITOR>> monitor_handles() {
    std::vector<HMONITOR> handles;
    if (!EnumDisplayMonitors(nullptr, nullptr, add_monitor, reinterpret_cast<LPARAM>(&handles))) {
        return std::unexpected(system_error());
    }
    return handles;
}

Result<MonitorReading> read_monitor(HMONITOR monitor) {
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info)) {
        return std::unexpected(system_error());
    }
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    mode.dmDriverExtra = 0;
    if (!EnumDisplaySettingsW(info.szDevice, ENUM_CURRENT_SETTINGS, &mode)) {
        return std::unexpected(system_error());
    }
    MonitorReading reading;
    reading.device.assign(reinterpret_cast<const char16_t*>(info.szDevice),
                          std::size(info.szDevice));
    reading.primary = (info.dwFlags & MONITORINFOF_PRIMARY) != 0;
    reading.mode =
        Region{mode.dmPosition.x, mode.dmPosition.y, mode.dmPelsWidth, mode.dmPelsHeight};
    return reading;
}

Result<std::vector<MonitorInfo>> list_monitors() {
    Result<std::vector<HMONITOR>> handles = monitor_handles();
    if (!handles) {
        return std::unexpected(std::move(handles.error()));
    }
    return collect_monitors(handles->size(),
                            [&](std::size_t i) { return read_monitor((*handles)[i]); });
}

Result<std::vector<WindowInfo>> list_windows(const std::vector<MonitorInfo>& monitors,
                                             std::uint32_t excluded_pid) {
    std::vector<std::uint64_t> handles;
    if (!EnumWindows(add_window, reinterpret_cast<LPARAM>(&handles))) {
        return std::unexpected(system_error());
    }
    Win32WindowQueries queries;
    return collect_windows(handles, queries, excluded_pid, monitors);
}

}  // namespace vantle::win
