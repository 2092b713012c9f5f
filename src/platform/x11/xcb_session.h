#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/error.h"

namespace vantle::x11 {

// Owns one xcb reply (or event, or error): xcb hands them out with malloc.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// One connection to the X server named by DISPLAY, with its first screen and the
// atoms this layer uses. Each Platform call opens its own, so calls from several
// threads never share a connection.
class XcbSession {
  public:
    [[nodiscard]] static Result<XcbSession> open();

    XcbSession(XcbSession&& other) noexcept;
    XcbSession& operator=(XcbSession&&) = delete;
    XcbSession(const XcbSession&) = delete;
    ~XcbSession();

    [[nodiscard]] xcb_connection_t* conn() const { return conn_; }
    [[nodiscard]] xcb_window_t root() const { return screen_->root; }
    [[nodiscard]] const xcb_screen_t& screen() const { return *screen_; }

    // The atom of that name, interned on first use (0 when the server refuses).
    [[nodiscard]] xcb_atom_t atom(std::string_view name);
    // Interns every name not yet known with one round trip for them all.
    void intern_all(std::initializer_list<std::string_view> names);

    // A window property as raw bytes with its type and format, or none when the
    // window has no such property (or is gone).
    struct Property {
        xcb_atom_t type = 0;
        std::uint8_t format = 0;
        std::vector<std::uint8_t> bytes;
    };
    [[nodiscard]] std::optional<Property> property(xcb_window_t window, xcb_atom_t name);
    // The same in two steps, so that many requests can be sent before any reply
    // is awaited: the request, then its reply (each cookie collected once).
    [[nodiscard]] xcb_get_property_cookie_t request_property(xcb_window_t window, xcb_atom_t name);
    [[nodiscard]] std::optional<Property> property_reply(xcb_get_property_cookie_t cookie);
    // A format-32 property's words; empty for none or another format.
    [[nodiscard]] static std::vector<std::uint32_t> words_of(const std::optional<Property>& p);
    // A format-32 property as words (atoms, windows, cardinals).
    [[nodiscard]] std::vector<std::uint32_t> words(xcb_window_t window, std::string_view name);
    [[nodiscard]] std::optional<std::uint32_t> word(xcb_window_t window, std::string_view name);

    // The EWMH window manager's check window when one announces itself.
    [[nodiscard]] std::optional<xcb_window_t> window_manager();
    // Whether the window is minimized: _NET_WM_STATE_HIDDEN or ICCCM IconicState.
    [[nodiscard]] bool is_minimized(xcb_window_t window);
    // The same from the window's _NET_WM_STATE and WM_STATE words.
    [[nodiscard]] bool is_minimized(const std::vector<std::uint32_t>& net_wm_state,
                                    const std::vector<std::uint32_t>& wm_state);

    // Sends an EWMH/ICCCM client message about `window` to the root, where the
    // window manager listens for it.
    void send_root_message(xcb_window_t window, xcb_atom_t type, std::uint32_t d0,
                           std::uint32_t d1 = 0, std::uint32_t d2 = 0, std::uint32_t d3 = 0);

  private:
    XcbSession(xcb_connection_t* conn, const xcb_screen_t* screen) : conn_(conn), screen_(screen) {}

    xcb_connection_t* conn_;
    const xcb_screen_t* screen_;
    std::vector<std::pair<std::string, xcb_atom_t>> atoms_;
};

// An X protocol error in the program's error form.
[[nodiscard]] Error x_error(const xcb_generic_error_t& error, std::string_view request);

}  // namespace vantle::x11
