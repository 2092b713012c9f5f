#include "platform/win/screen_win.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/pointer_overlay.h"
#include "support/logger.h"
#include "support/os_error.h"

namespace vantle::win {

namespace {

constexpr std::string_view kCaptureTarget = "vantle_lib::capture";

Error system_error() {
    return Error(last_os_error_text());
}

template <typename Handle>
std::string debug_handle(const char* type, Handle handle) {
    char text[48];
    std::snprintf(text, sizeof text, "%s(0x%016llX)", type,
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
    return text;
}

void log_cleanup_failure(const char* call, const std::string& handle) {
    log_error(kCaptureTarget,
              std::string(call) + "(" + handle + ") failed: " + last_os_error_text());
}

BITMAPINFO top_down_32bit(std::uint32_t width, std::uint32_t height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// The GDI objects of one screen copy, released on every path; a release that
// fails is logged and changes nothing about the copy's result.
class ScreenCopy {
  public:
    ScreenCopy() : desktop_(GetDesktopWindow()), screen_(GetWindowDC(desktop_)) {}
    ScreenCopy(const ScreenCopy&) = delete;
    ScreenCopy& operator=(const ScreenCopy&) = delete;

    ~ScreenCopy() {
        unselect();
        if (bitmap_ != nullptr && !DeleteObject(bitmap_)) {
            log_cleanup_failure("DeleteObject", debug_handle("HBITMAP", bitmap_));
        }
        if (memory_ != nullptr && !DeleteDC(memory_)) {
            log_cleanup_failure("DeleteDC", debug_handle("HDC", memory_));
        }
        if (screen_ != nullptr && ReleaseDC(desktop_, screen_) == 0) {
            log_cleanup_failure("ReleaseDC", debug_handle("HDC", screen_));
        }
    }

    Status prepare(std::uint32_t width, std::uint32_t height) {
        if (screen_ == nullptr) {
            return std::unexpected(system_error());
        }
        memory_ = CreateCompatibleDC(screen_);
        if (memory_ == nullptr) {
            return std::unexpected(system_error());
        }
        bitmap_ =
            CreateCompatibleBitmap(screen_, static_cast<int>(width), static_cast<int>(height));
        if (bitmap_ == nullptr) {
            return std::unexpected(system_error());
        }
        previous_ = SelectObject(memory_, bitmap_);
        return {};
    }

    Status blit(std::int32_t x, std::int32_t y, std::uint32_t width, std::uint32_t height) {
        if (!BitBlt(memory_, 0, 0, static_cast<int>(width), static_cast<int>(height), screen_, x, y,
                    SRCCOPY)) {
            return std::unexpected(system_error());
        }
        return {};
    }

    Result<std::vector<std::uint8_t>> read(std::uint32_t width, std::uint32_t height) {
        // GetDIBits wants the bitmap out of every device context.
        unselect();
        std::vector<std::uint8_t> pixels(std::size_t{width} * height * 4);
        BITMAPINFO info = top_down_32bit(width, height);
        if (GetDIBits(memory_, bitmap_, 0, height, pixels.data(), &info, DIB_RGB_COLORS) == 0) {
            return std::unexpected(Error("Get RGBA data failed"));
        }
        return pixels;
    }

  private:
    void unselect() {
        if (previous_ != nullptr) {
            SelectObject(memory_, previous_);
            previous_ = nullptr;
        }
    }

    HWND desktop_;
    HDC screen_;
    HDC memory_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
};

}  // namespace

unsigned windows_major_version() {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer;
    const LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                     L"CurrentBuildNumber", RRF_RT_REG_SZ, nullptr, buffer, &size);
    if (status != ERROR_SUCCESS) {
        return windows_major_from_build(std::nullopt);
    }
    const std::size_t units = std::min<std::size_t>(size / sizeof(wchar_t), std::size(buffer));
    return windows_major_from_build(
        std::u16string_view(reinterpret_cast<const char16_t*>(buffer), units));
}

Result<RgbaImage> capture_screen_rect(std::int32_t x, std::int32_t y, std::uint32_t width,
                                      std::uint32_t height) {
    if (width > INT_MAX || height > INT_MAX) {
        return std::unexpected(Error("the rectangle is too large to copy"));
    }
    ScreenCopy copy;
    if (Status prepared = copy.prepare(width, height); !prepared) {
        return std::unexpected(std::move(prepared.error()));
    }
    if (Status copied = copy.blit(x, y, width, height); !copied) {
        return std::unexpected(std::move(copied.error()));
    }
    Result<std::vector<std::uint8_t>> pixels = copy.read(width, height);
    if (!pixels) {
        return std::unexpected(std::move(pixels.error()));
    }
    bgra_to_rgba(*pixels, gdi_alpha_is_unset(windows_major_version()));
    return RgbaImage{width, height, std::move(*pixels)};
}

Result<DesktopPicture> capture_one_monitor(HMONITOR monitor) {
    Result<MonitorReading> first = read_monitor(monitor);
    if (!first) {
        return std::unexpected(std::move(first.error()));
    }
    // Read again right before the copy: the copy then matches the mode it is
    // taken in, and a change since the first read shows as a size difference.
    Result<MonitorReading> second = read_monitor(monitor);
    if (!second) {
        return std::unexpected(std::move(second.error()));
    }
    const Region& now = second->mode;
    Result<RgbaImage> picture = capture_screen_rect(now.x, now.y, now.width, now.height);
    if (!picture) {
        return std::unexpected(std::move(picture.error()));
    }
    return DesktopPicture{fit_monitor_picture(std::move(*picture), first->mode), first->mode.x,
                          first->mode.y};
}

Status draw_pointer(RgbaImage& picture, std::int32_t origin_x, std::int32_t origin_y) {
    CURSORINFO cursor{};
    cursor.cbSize = sizeof cursor;
    if (!GetCursorInfo(&cursor)) {
        return std::unexpected(system_error());
    }
    if ((cursor.flags & CURSOR_SHOWING) == 0 || cursor.hCursor == nullptr) {
        return {};
    }
    ICONINFO icon{};
    if (!GetIconInfo(cursor.hCursor, &icon)) {
        // The pointer's shape went away between the two calls, or belongs to a
        // process whose cursors cannot be read (Wine): there is nothing to draw.
        if (GetLastError() == ERROR_INVALID_CURSOR_HANDLE) {
            return {};
        }
        return std::unexpected(system_error());
    }
    const bool has_colour = icon.hbmColor != nullptr;
    BITMAP measured{};
    const HBITMAP measure = has_colour ? icon.hbmColor : icon.hbmMask;
    const bool read = measure != nullptr && GetObjectW(measure, sizeof measured, &measured) != 0;
    if (icon.hbmColor != nullptr) {
        DeleteObject(icon.hbmColor);
    }
    if (icon.hbmMask != nullptr) {
        DeleteObject(icon.hbmMask);
    }
    if (!read) {
        return {};
    }
    const std::optional<PointerSize> size =
        pointer_size(measured.bmWidth, measured.bmHeight, has_colour);
    if (!size) {
        return {};
    }
    const std::optional<PointerPlacement> at = place_pointer(
        cursor.ptScreenPos.x, cursor.ptScreenPos.y, static_cast<std::int32_t>(icon.xHotspot),
        static_cast<std::int32_t>(icon.yHotspot), size->width, size->height, origin_x, origin_y,
        picture.width, picture.height);
    if (!at) {
        return {};
    }

    BITMAPINFO info = top_down_32bit(size->width, size->height);
    void* bits = nullptr;
    HBITMAP scratch = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (scratch == nullptr || bits == nullptr) {
        Error error = system_error();
        if (scratch != nullptr) {
            DeleteObject(scratch);
        }
        return std::unexpected(std::move(error));
    }
    HDC dc = CreateCompatibleDC(nullptr);
    if (dc == nullptr) {
        Error error = system_error();
        DeleteObject(scratch);
        return std::unexpected(std::move(error));
    }
    const HGDIOBJ previous = SelectObject(dc, scratch);
    const std::size_t bytes = std::size_t{size->width} * size->height * 4;
    const std::vector<std::uint8_t> backdrop = pointer_backdrop(picture, *at, *size);
    std::memcpy(bits, backdrop.data(), bytes);

    SetLastError(0);
    const BOOL drawn = DrawIconEx(dc, 0, 0, cursor.hCursor, static_cast<int>(size->width),
                                  static_cast<int>(size->height), 0, nullptr, DI_NORMAL);
    const DWORD draw_error = drawn ? 0 : GetLastError();
    // The drawing may still sit in GDI's batch; the bits are read only after it.
    GdiFlush();
    if (drawn || draw_error == 0) {
        pointer_write_back(
            picture, *at, *size,
            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bits), bytes));
    }
    SelectObject(dc, previous);
    DeleteDC(dc);
    DeleteObject(scratch);
    if (!drawn && draw_error != 0) {
        return std::unexpected(Error(os_error_text(draw_error)));
    }
    return {};
}

}  // namespace vantle::win
