#pragma once

#include <optional>
#include <vector>

#include "platform/records.h"
#include "platform/x11/xcb_session.h"
#include "support/error.h"

namespace vantle::x11 {

// RandR 1.5 monitors in the server's order; without RandR 1.5 one monitor, the
// screen, not marked primary.
[[nodiscard]] Result<std::vector<MonitorInfo>> list_monitors(XcbSession& x);

// Top-level windows, topmost first: the window manager's client list when an
// EWMH window manager runs, else the root's mapped children. Handles are client
// windows; geometry is the frame's, absent for a minimized window.
[[nodiscard]] Result<std::vector<WindowInfo>> list_windows(
    XcbSession& x, const std::vector<MonitorInfo>& monitors);

// A client's rectangle as listed, in root coordinates: its border's outer edge,
// grown by _NET_FRAME_EXTENTS when a window manager runs (with_extents). None
// when the window is gone or has no area.
[[nodiscard]] std::optional<Region> listed_frame(XcbSession& x, xcb_window_t client,
                                                 bool with_extents);

// Whether the X server is XWayland, the X server of a Wayland session, whose
// root window shows only the windows of X11 programs: it announces the
// XWAYLAND extension (`announces_extension`), or, in versions from before it
// did, names every monitor after an output XWAYLAND<n>.
[[nodiscard]] bool is_xwayland(bool announces_extension, const std::vector<MonitorInfo>& monitors);
// The monitors as list_monitors gives them, and whether the server is XWayland,
// asked together.
struct SessionMonitors {
    std::vector<MonitorInfo> monitors;
    bool xwayland = false;
};
[[nodiscard]] Result<SessionMonitors> list_session_monitors(XcbSession& x);

// The window's title: _NET_WM_NAME (UTF-8), else WM_NAME.
[[nodiscard]] std::string window_title(XcbSession& x, xcb_window_t window);

}  // namespace vantle::x11
