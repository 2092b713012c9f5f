#include "capture/desktop_picture.h"
#include "platform/make_platform.h"
#include "platform/restore_wait.h"
#include "platform/win/desktop_rules.h"
#include "platform/win/desktop_win.h"
#include "platform/win/mf_encoder.h"
#include "platform/win/screen_win.h"
#include "platform/win/wgc.h"

namespace vantle {

namespace {

// ShowWindow on another thread's window waits until that thread has handled
// the request, forever for a program that stopped handling its messages; the
// request is posted instead. A window of the calling thread is shown at once:
// nothing would handle a posted request while this thread waits on the state.
void show_without_waiting(HWND handle, int command) {
    if (GetWindowThreadProcessId(handle, nullptr) == GetCurrentThreadId()) {
        (void)ShowWindow(handle, command);
        return;
    }
    (void)ShowWindowAsync(handle, command);
}

template <typename T>
CliResult<T> as_cli(Result<T> result) {
    if (!result) {
        return std::unexpected(CliError::from(result.error()));
    }
    return std::move(*result);
}

// The Windows desktop. Holds nothing: every call asks the system afresh, so
// calls from several threads share no state.
class WindowsPlatform final : public Platform {
  public:
    CliResult<std::vector<MonitorInfo>> enumerate_monitors() override {
        return as_cli(win::list_monitors());
    }

    CliResult<std::vector<WindowInfo>> enumerate_windows() override {
        Result<std::vector<MonitorInfo>> monitors = win::list_monitors();
        if (!monitors) {
            return std::unexpected(CliError::from(monitors.error()));
        }
        return as_cli(win::list_windows(*monitors, GetCurrentProcessId()));
    }

    CliResult<RgbaImage> capture_window(const WindowInfo& window, bool cursor) override {
        return wgc::capture_window(window, cursor);
    }

    CliResult<RgbaImage> capture_monitor(const MonitorInfo& monitor, bool cursor) override {
        return as_cli(monitor_picture(monitor.index, cursor));
    }

    CliResult<RgbaImage> capture_region(const Region& region, bool cursor) override {
        return as_cli(region_picture(region, cursor));
    }

    // The restore wait reads the window's state, which needs nothing of its
    // program, so a program that stopped handling its messages cannot hold it.
    CliStatus restore_window(const WindowInfo& window) override {
        const HWND handle = win::window_handle(window);
        show_without_waiting(handle, SW_SHOWNOACTIVATE);
        return wait_until_restored(window.title, [handle] { return IsIconic(handle) != 0; });
    }

    void minimize_window(const WindowInfo& window) override {
        show_without_waiting(win::window_handle(window), SW_SHOWMINNOACTIVE);
    }

    bool window_exists(const WindowInfo& window) override {
        return IsWindow(win::window_handle(window)) != 0;
    }

    CliResult<std::unique_ptr<FrameSource>> start_recording_source(const RecordTarget& target,
                                                                   bool cursor) override {
        return wgc::start_recording_source(target, cursor);
    }

    CliResult<std::unique_ptr<VideoEncoder>> open_encoder(const std::filesystem::path& path,
                                                          std::uint32_t width, std::uint32_t height,
                                                          std::uint32_t fps) override {
        return mf::open_encoder(path, width, height, fps);
    }

  private:
    static PointerDrawer pointer_drawer(bool cursor) {
        return cursor ? PointerDrawer(win::draw_pointer) : PointerDrawer();
    }

    static Result<RgbaImage> monitor_picture(std::uint64_t index, bool cursor) {
        Result<std::vector<HMONITOR>> handles = win::monitor_handles();
        if (!handles) {
            return std::unexpected(std::move(handles.error()));
        }
        if (index >= handles->size()) {
            return std::unexpected(Error("there is no monitor " + std::to_string(index)));
        }
        return picture_with_pointer(win::capture_one_monitor((*handles)[index]),
                                    pointer_drawer(cursor));
    }

    static Result<RgbaImage> region_picture(const Region& region, bool cursor) {
        Result<std::vector<HMONITOR>> handles = win::monitor_handles();
        if (!handles) {
            return std::unexpected(std::move(handles.error()));
        }
        return vantle::region_picture(
            handles->size(), [&](std::size_t i) { return win::capture_one_monitor((*handles)[i]); },
            region, pointer_drawer(cursor));
    }
};

}  // namespace

PlatformPtr make_platform() {
    return std::make_shared<WindowsPlatform>();
}

}  // namespace vantle
