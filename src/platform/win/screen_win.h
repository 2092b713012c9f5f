#pragma once

#include <cstdint>

#include "capture/desktop_picture.h"
#include "platform/records.h"
#include "platform/win/desktop_win.h"
#include "support/error.h"

// Still pictures of monitors and desktop rectangles copied with GDI, and the
// pointer drawn into them by the system's own icon drawing.
namespace vantle::win {

// 7, 8, 10 or 11 from the registry's build number, read afresh on every call.
[[nodiscard]] unsigned windows_major_version();

// The desktop's pixels of the rectangle at (x, y), as GDI delivers them with the
// alpha rule of the running Windows version.
[[nodiscard]] Result<RgbaImage> capture_screen_rect(std::int32_t x, std::int32_t y,
                                                    std::uint32_t width, std::uint32_t height);

// One monitor, at the position and size of its mode as read before the copy.
[[nodiscard]] Result<DesktopPicture> capture_one_monitor(HMONITOR monitor);

// Draws the shown pointer into `picture`, whose top-left pixel is at desktop
// (origin_x, origin_y). A hidden pointer or one off the picture is no failure.
[[nodiscard]] Status draw_pointer(RgbaImage& picture, std::int32_t origin_x, std::int32_t origin_y);

}  // namespace vantle::win
