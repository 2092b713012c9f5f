#include "platform/x11/xcb_session.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vantle::x11 {

namespace {
constexpr std::uint32_t kIconicState = 3;
}  // namespace

Result<XcbSession> XcbSession::open() {
    int screen_number = 0;
    xcb_connection_t* conn = xcb_connect(nullptr, &screen_number);
    if (conn == nullptr || xcb_connection_has_error(conn) != 0) {
        if (conn != nullptr) {
            xcb_disconnect(conn);
        }
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0') {
            return std::unexpected(Error("no X display: DISPLAY is not set"));
        }
        return std::unexpected(
            Error(std::string("cannot connect to the X display `") + display + "`"));
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn));
    for (int i = 0; i < screen_number && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem == 0) {
        xcb_disconnect(conn);
        return std::unexpected(Error("the X display has no such screen"));
    }
    return XcbSession(conn, it.data);
}

XcbSession::XcbSession(XcbSession&& other) noexcept
    : conn_(std::exchange(other.conn_, nullptr)),
      screen_(other.screen_),
      atoms_(std::move(other.atoms_)) {}

XcbSession::~XcbSession() {
    if (conn_ != nullptr) {
        xcb_disconnect(conn_);
    }
}

xcb_atom_t XcbSession::atom(std::string_view name) {
    for (const auto& [known, value] : atoms_) {
        if (known == name) {
            return value;
        }
    }
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        conn_, xcb_intern_atom(conn_, 0, static_cast<std::uint16_t>(name.size()), name.data()),
        nullptr));
    const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    atoms_.emplace_back(std::string(name), value);
    return value;
}

void XcbSession::intern_all(std::initializer_list<std::string_view> names) {
    std::vector<std::pair<std::string_view, xcb_intern_atom_cookie_t>> asked;
    for (const std::string_view name : names) {
        const bool known = std::any_of(atoms_.begin(), atoms_.end(),
                                       [&](const auto& entry) { return entry.first == name; });
        if (!known) {
            asked.emplace_back(
                name,
                xcb_intern_atom(conn_, 0, static_cast<std::uint16_t>(name.size()), name.data()));
        }
    }
    for (const auto& [name, cookie] : asked) {
        const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(conn_, cookie, nullptr));
        atoms_.emplace_back(std::string(name), reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE});
    }
}

std::optional<XcbSession::Property> XcbSession::property(xcb_window_t window, xcb_atom_t name) {
    if (name == XCB_ATOM_NONE) {
        return std::nullopt;
    }
    return property_reply(request_property(window, name));
}

xcb_get_property_cookie_t XcbSession::request_property(xcb_window_t window, xcb_atom_t name) {
    // 16 MiB in 32-bit units: far more than any title or client list.
    return xcb_get_property(conn_, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 1u << 22);
}

std::optional<XcbSession::Property> XcbSession::property_reply(xcb_get_property_cookie_t cookie) {
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(conn_, cookie, nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE) {
        return std::nullopt;
    }
    Property p;
    p.type = reply->type;
    p.format = reply->format;
    const auto* data = static_cast<const std::uint8_t*>(xcb_get_property_value(reply.get()));
    const int length = xcb_get_property_value_length(reply.get());
    p.bytes.assign(data, data + (length > 0 ? length : 0));
    return p;
}

std::vector<std::uint32_t> XcbSession::words_of(const std::optional<Property>& p) {
    std::vector<std::uint32_t> out;
    if (!p || p->format != 32 || p->bytes.size() < 4) {
        return out;
    }
    out.resize(p->bytes.size() / 4);
    std::memcpy(out.data(), p->bytes.data(), out.size() * 4);
    return out;
}

std::vector<std::uint32_t> XcbSession::words(xcb_window_t window, std::string_view name) {
    return words_of(property(window, atom(name)));
}

std::optional<std::uint32_t> XcbSession::word(xcb_window_t window, std::string_view name) {
    const std::vector<std::uint32_t> w = words(window, name);
    if (w.empty()) {
        return std::nullopt;
    }
    return w.front();
}

std::optional<xcb_window_t> XcbSession::window_manager() {
    // The check window must name itself too, else the property is stale from a
    // window manager that has gone.
    const std::optional<std::uint32_t> check = word(root(), "_NET_SUPPORTING_WM_CHECK");
    if (!check || *check == 0 || word(*check, "_NET_SUPPORTING_WM_CHECK") != check) {
        return std::nullopt;
    }
    return *check;
}

bool XcbSession::is_minimized(xcb_window_t window) {
    return is_minimized(words(window, "_NET_WM_STATE"), words(window, "WM_STATE"));
}

bool XcbSession::is_minimized(const std::vector<std::uint32_t>& net_wm_state,
                              const std::vector<std::uint32_t>& wm_state) {
    const xcb_atom_t hidden = atom("_NET_WM_STATE_HIDDEN");
    for (const std::uint32_t state : net_wm_state) {
        if (hidden != XCB_ATOM_NONE && state == hidden) {
            return true;
        }
    }
    return !wm_state.empty() && wm_state.front() == kIconicState;
}

void XcbSession::send_root_message(xcb_window_t window, xcb_atom_t type, std::uint32_t d0,
                                   std::uint32_t d1, std::uint32_t d2, std::uint32_t d3) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    event.data.data32[0] = d0;
    event.data.data32[1] = d1;
    event.data.data32[2] = d2;
    event.data.data32[3] = d3;
    xcb_send_event(conn_, 0, root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(conn_);
}

Error x_error(const xcb_generic_error_t& error, std::string_view request) {
    static constexpr const char* kNames[] = {
        "",          "BadRequest", "BadValue",    "BadWindow",   "BadPixmap", "BadAtom",
        "BadCursor", "BadFont",    "BadMatch",    "BadDrawable", "BadAccess", "BadAlloc",
        "BadColor",  "BadGC",      "BadIDChoice", "BadName",     "BadLength", "BadImplementation"};
    const std::uint8_t code = error.error_code;
    const char* name = code < std::size(kNames) ? kNames[code] : "X protocol error";
    return Error(format_os_error(name, code)).context(std::string(request) + " failed");
}

}  // namespace vantle::x11
