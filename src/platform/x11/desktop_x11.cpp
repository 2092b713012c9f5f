#include "platform/x11/desktop_x11.h"

#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/res.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <system_error>

#include "support/utf.h"

namespace vantle::x11 {

namespace {

constexpr std::uint32_t kAllDesktops = 0xFFFFFFFF;

std::vector<MonitorInfo> screen_as_monitor(const XcbSession& x) {
    MonitorInfo m;
    m.width = x.screen().width_in_pixels;
    m.height = x.screen().height_in_pixels;
    return {m};
}

std::string atom_name(XcbSession& x, xcb_atom_t atom) {
    const Reply<xcb_get_atom_name_reply_t> reply(
        xcb_get_atom_name_reply(x.conn(), xcb_get_atom_name(x.conn(), atom), nullptr));
    if (!reply) {
        return {};
    }
    return utf8_lossy(
        std::string_view(xcb_get_atom_name_name(reply.get()),
                         static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get()))));
}

// ISO 8859-1 bytes, the encoding of a STRING property, as UTF-8.
std::string latin1_to_utf8(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    for (const std::uint8_t b : bytes) {
        append_utf8(out, b);
    }
    return out;
}

std::optional<std::string> process_name(std::uint32_t pid) {
    const std::filesystem::path proc = "/proc/" + std::to_string(pid);
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink(proc / "exe", error);
    if (!error && exe.has_filename()) {
        return exe.filename().string();
    }
    std::ifstream comm(proc / "comm");
    std::string name;
    if (std::getline(comm, name) && !name.empty()) {
        return utf8_lossy(name);
    }
    return std::nullopt;
}

// A client's listed rectangle from its geometry, its origin in root coordinates
// and its _NET_FRAME_EXTENTS (empty when not asked for or absent).
std::optional<Region> frame_of(const xcb_get_geometry_reply_t& geometry,
                               const xcb_translate_coordinates_reply_t& origin,
                               const std::vector<std::uint32_t>& extents) {
    // The border lies outside the origin and the size the server reports.
    const std::int64_t border = geometry.border_width;
    std::int64_t left = origin.dst_x - border;
    std::int64_t top = origin.dst_y - border;
    std::int64_t width = geometry.width + 2 * border;
    std::int64_t height = geometry.height + 2 * border;
    if (extents.size() >= 4) {
        left -= extents[0];
        top -= extents[2];
        width += std::int64_t{extents[0]} + extents[1];
        height += std::int64_t{extents[2]} + extents[3];
    }
    if (width < 1 || height < 1) {
        return std::nullopt;
    }
    return Region{static_cast<std::int32_t>(left), static_cast<std::int32_t>(top),
                  static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
}

// A title from the window's _NET_WM_NAME (UTF-8) and WM_NAME properties.
std::string title_of(const std::optional<XcbSession::Property>& net_wm_name,
                     const std::optional<XcbSession::Property>& wm_name, xcb_atom_t utf8_string) {
    const auto as_text = [](const XcbSession::Property& p) {
        return std::string_view(reinterpret_cast<const char*>(p.bytes.data()), p.bytes.size());
    };
    if (net_wm_name) {
        return utf8_lossy(as_text(*net_wm_name));
    }
    if (wm_name) {
        if (wm_name->type == utf8_string) {
            return utf8_lossy(as_text(*wm_name));
        }
        return latin1_to_utf8(wm_name->bytes);
    }
    return {};
}

// Candidate top-level windows, topmost first.
std::vector<xcb_window_t> candidates(XcbSession& x, bool window_manager) {
    std::vector<xcb_window_t> out;
    if (window_manager) {
        std::vector<std::uint32_t> list = x.words(x.root(), "_NET_CLIENT_LIST_STACKING");
        if (list.empty()) {
            list = x.words(x.root(), "_NET_CLIENT_LIST");
        }
        out.assign(list.rbegin(), list.rend());
        return out;
    }
    const Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(x.conn(), xcb_query_tree(x.conn(), x.root()), nullptr));
    if (!tree) {
        return out;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    for (int i = 0; i < count; ++i) {
        cookies.push_back(xcb_get_window_attributes(x.conn(), children[i]));
    }
    // The tree lists children bottom to top.
    for (int i = count - 1; i >= 0; --i) {
        const Reply<xcb_get_window_attributes_reply_t> a(xcb_get_window_attributes_reply(
            x.conn(), cookies[static_cast<std::size_t>(i)], nullptr));
        if (a && a->map_state == XCB_MAP_STATE_VIEWABLE &&
            a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT && a->override_redirect == 0) {
            out.push_back(children[i]);
        }
    }
    return out;
}

}  // namespace

std::optional<Region> listed_frame(XcbSession& x, xcb_window_t client, bool with_extents) {
    const auto geometry_cookie = xcb_get_geometry(x.conn(), client);
    const auto origin_cookie = xcb_translate_coordinates(x.conn(), client, x.root(), 0, 0);
    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(x.conn(), geometry_cookie, nullptr));
    const Reply<xcb_translate_coordinates_reply_t> origin(
        xcb_translate_coordinates_reply(x.conn(), origin_cookie, nullptr));
    if (!geometry || !origin) {
        return std::nullopt;
    }
    return frame_of(
        *geometry, *origin,
        with_extents ? x.words(client, "_NET_FRAME_EXTENTS") : std::vector<std::uint32_t>{});
}

Result<std::vector<MonitorInfo>> list_monitors(XcbSession& x) {
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(x.conn(), &xcb_randr_id);
    if (randr == nullptr || randr->present == 0) {
        return screen_as_monitor(x);
    }
    const Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(x.conn(), xcb_randr_query_version(x.conn(), 1, 5), nullptr));
    if (!version || version->major_version < 1 ||
        (version->major_version == 1 && version->minor_version < 5)) {
        return screen_as_monitor(x);
    }
    xcb_generic_error_t* raw_error = nullptr;
    const Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
        x.conn(), xcb_randr_get_monitors(x.conn(), x.root(), 1), &raw_error));
    const Reply<xcb_generic_error_t> error(raw_error);
    if (!reply) {
        if (error) {
            return std::unexpected(x_error(*error, "RRGetMonitors"));
        }
        return std::unexpected(Error("the X connection broke while listing monitors"));
    }
    std::vector<MonitorInfo> monitors;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        MonitorInfo m;
        m.index = monitors.size();
        m.name = it.data->name != XCB_ATOM_NONE ? atom_name(x, it.data->name) : "";
        m.x = it.data->x;
        m.y = it.data->y;
        m.width = it.data->width;
        m.height = it.data->height;
        m.primary = it.data->primary != 0;
        monitors.push_back(std::move(m));
    }
    return monitors;
}

bool is_xwayland(bool announces_extension, const std::vector<MonitorInfo>& monitors) {
    if (announces_extension) {
        return true;
    }
    return !monitors.empty() && std::all_of(monitors.begin(), monitors.end(), [](const auto& m) {
        return m.name.starts_with("XWAYLAND");
    });
}

Result<SessionMonitors> list_session_monitors(XcbSession& x) {
    constexpr std::string_view kName = "XWAYLAND";
    // Asked before the monitors are listed, so its answer comes with theirs.
    const xcb_query_extension_cookie_t extension_cookie =
        xcb_query_extension(x.conn(), static_cast<std::uint16_t>(kName.size()), kName.data());
    Result<std::vector<MonitorInfo>> monitors = list_monitors(x);
    const Reply<xcb_query_extension_reply_t> extension(
        xcb_query_extension_reply(x.conn(), extension_cookie, nullptr));
    if (!monitors) {
        return std::unexpected(std::move(monitors.error()));
    }
    SessionMonitors out;
    out.xwayland = is_xwayland(extension && extension->present != 0, *monitors);
    out.monitors = std::move(*monitors);
    return out;
}

std::string window_title(XcbSession& x, xcb_window_t window) {
    const std::optional<XcbSession::Property> net_wm_name =
        x.property(window, x.atom("_NET_WM_NAME"));
    if (net_wm_name) {
        return title_of(net_wm_name, std::nullopt, XCB_ATOM_NONE);
    }
    return title_of(std::nullopt, x.property(window, XCB_ATOM_WM_NAME), x.atom("UTF8_STRING"));
}

namespace {

// Windows listed per batch: every request of a batch is sent before its first
// reply is awaited, so a batch costs about two round trips however many
// windows it holds; the cap bounds the replies held at once.
constexpr std::size_t kListBatch = 256;

// The requests every window is listed with. They are sent even where an
// earlier answer would make them moot (the title of a window of this process,
// say): a spare request costs the server little, a wait for its reply costs a
// round trip.
struct WindowRequests {
    xcb_get_property_cookie_t pid;
    xcb_get_property_cookie_t net_wm_name;
    std::optional<xcb_get_property_cookie_t> desktop;
    xcb_get_property_cookie_t net_wm_state;
    xcb_get_property_cookie_t wm_state;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t origin;
    std::optional<xcb_get_property_cookie_t> extents;
};

// What the window's listing needs of it. A window gone before some of its
// requests has error replies for them, read as absent properties.
struct WindowReplies {
    std::optional<std::uint32_t> pid;
    std::optional<XcbSession::Property> net_wm_name;
    std::optional<XcbSession::Property> wm_name;
    std::optional<std::uint32_t> desktop;
    std::vector<std::uint32_t> net_wm_state;
    std::vector<std::uint32_t> wm_state;
    Reply<xcb_get_geometry_reply_t> geometry;
    Reply<xcb_translate_coordinates_reply_t> origin;
    std::vector<std::uint32_t> extents;
};

// Fallbacks that few windows need, asked in a second round: the process that
// made a window without _NET_WM_PID, and WM_NAME without _NET_WM_NAME.
struct FallbackRequests {
    std::optional<xcb_res_query_client_ids_cookie_t> client;
    std::optional<xcb_get_property_cookie_t> wm_name;
};

WindowRequests send_requests(XcbSession& x, xcb_window_t window, bool window_manager) {
    xcb_connection_t* c = x.conn();
    WindowRequests r{};
    r.pid = x.request_property(window, x.atom("_NET_WM_PID"));
    r.net_wm_name = x.request_property(window, x.atom("_NET_WM_NAME"));
    if (window_manager) {
        r.desktop = x.request_property(window, x.atom("_NET_WM_DESKTOP"));
    }
    r.net_wm_state = x.request_property(window, x.atom("_NET_WM_STATE"));
    r.wm_state = x.request_property(window, x.atom("WM_STATE"));
    r.geometry = xcb_get_geometry(c, window);
    r.origin = xcb_translate_coordinates(c, window, x.root(), 0, 0);
    if (window_manager) {
        r.extents = x.request_property(window, x.atom("_NET_FRAME_EXTENTS"));
    }
    return r;
}

std::optional<std::uint32_t> first_word(const std::vector<std::uint32_t>& words) {
    return words.empty() ? std::nullopt : std::optional<std::uint32_t>(words.front());
}

// Every reply is collected whether used or not, so that none is left queued
// on the connection.
WindowReplies collect_replies(XcbSession& x, const WindowRequests& r) {
    xcb_connection_t* c = x.conn();
    WindowReplies out;
    out.pid = first_word(XcbSession::words_of(x.property_reply(r.pid)));
    out.net_wm_name = x.property_reply(r.net_wm_name);
    if (r.desktop) {
        out.desktop = first_word(XcbSession::words_of(x.property_reply(*r.desktop)));
    }
    out.net_wm_state = XcbSession::words_of(x.property_reply(r.net_wm_state));
    out.wm_state = XcbSession::words_of(x.property_reply(r.wm_state));
    out.geometry.reset(xcb_get_geometry_reply(c, r.geometry, nullptr));
    out.origin.reset(xcb_translate_coordinates_reply(c, r.origin, nullptr));
    if (r.extents) {
        out.extents = XcbSession::words_of(x.property_reply(*r.extents));
    }
    return out;
}

FallbackRequests send_fallbacks(XcbSession& x, xcb_window_t window, const WindowReplies& r,
                                bool resource_extension) {
    FallbackRequests f;
    if (!r.pid && resource_extension) {
        // Which local process made the window: the server knows its client.
        const xcb_res_client_id_spec_t query{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        f.client = xcb_res_query_client_ids(x.conn(), 1, &query);
    }
    if (!r.net_wm_name) {
        f.wm_name = x.request_property(window, XCB_ATOM_WM_NAME);
    }
    return f;
}

std::optional<std::uint32_t> client_pid(xcb_connection_t* c,
                                        xcb_res_query_client_ids_cookie_t cookie) {
    const Reply<xcb_res_query_client_ids_reply_t> reply(
        xcb_res_query_client_ids_reply(c, cookie, nullptr));
    if (!reply) {
        return std::nullopt;
    }
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0;
         xcb_res_client_id_value_next(&it)) {
        // Only the process id was asked for, so every value the server returns is one.
        if (xcb_res_client_id_value_value_length(it.data) >= 1) {
            return *xcb_res_client_id_value_value(it.data);
        }
    }
    return std::nullopt;
}

void collect_fallbacks(XcbSession& x, const FallbackRequests& f, WindowReplies& r) {
    if (f.client) {
        r.pid = client_pid(x.conn(), *f.client);
    }
    if (f.wm_name) {
        r.wm_name = x.property_reply(*f.wm_name);
    }
}

}  // namespace

Result<std::vector<WindowInfo>> list_windows(XcbSession& x,
                                             const std::vector<MonitorInfo>& monitors) {
    x.intern_all({"_NET_SUPPORTING_WM_CHECK", "_NET_CURRENT_DESKTOP", "_NET_CLIENT_LIST_STACKING",
                  "_NET_CLIENT_LIST", "_NET_WM_PID", "_NET_WM_NAME", "UTF8_STRING",
                  "_NET_WM_DESKTOP", "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN", "WM_STATE",
                  "_NET_FRAME_EXTENTS"});
    const bool window_manager = x.window_manager().has_value();
    const std::optional<std::uint32_t> current_desktop =
        window_manager ? x.word(x.root(), "_NET_CURRENT_DESKTOP") : std::nullopt;
    const auto own_pid = static_cast<std::uint32_t>(::getpid());
    // (A request of a missing extension would close the connection.)
    const xcb_query_extension_reply_t* res = xcb_get_extension_data(x.conn(), &xcb_res_id);
    const bool resource_extension = res != nullptr && res->present != 0;
    const xcb_atom_t utf8_string = x.atom("UTF8_STRING");
    std::map<std::uint32_t, std::optional<std::string>> names;

    const std::vector<xcb_window_t> handles = candidates(x, window_manager);
    std::vector<WindowInfo> windows;
    std::vector<WindowRequests> requests;
    std::vector<WindowReplies> replies;
    std::vector<FallbackRequests> fallbacks;
    for (std::size_t batch = 0; batch < handles.size(); batch += kListBatch) {
        const std::span<const xcb_window_t> part(
            handles.begin() + static_cast<std::ptrdiff_t>(batch),
            std::min(kListBatch, handles.size() - batch));
        requests.clear();
        for (const xcb_window_t handle : part) {
            requests.push_back(send_requests(x, handle, window_manager));
        }
        replies.clear();
        for (const WindowRequests& r : requests) {
            replies.push_back(collect_replies(x, r));
        }
        fallbacks.clear();
        for (std::size_t i = 0; i < part.size(); ++i) {
            fallbacks.push_back(send_fallbacks(x, part[i], replies[i], resource_extension));
        }
        for (std::size_t i = 0; i < part.size(); ++i) {
            collect_fallbacks(x, fallbacks[i], replies[i]);
        }

        for (std::size_t i = 0; i < part.size(); ++i) {
            const WindowReplies& r = replies[i];
            if (r.pid == own_pid) {
                continue;
            }
            std::string title = title_of(r.net_wm_name, r.wm_name, utf8_string);
            if (trim_unicode_white_space(title).empty()) {
                continue;
            }
            // A window on another virtual desktop is out of sight, like a cloaked one.
            if (r.desktop && current_desktop && *r.desktop != kAllDesktops &&
                *r.desktop != *current_desktop) {
                continue;
            }
            WindowInfo w;
            w.handle = part[i];
            w.title = std::move(title);
            w.pid = r.pid;
            w.minimized = x.is_minimized(r.net_wm_state, r.wm_state);
            if (!w.minimized) {
                if (!r.geometry || !r.origin) {
                    continue;
                }
                const std::optional<Region> rect = frame_of(*r.geometry, *r.origin, r.extents);
                if (!rect) {
                    continue;
                }
                place_window(w, *rect, monitors);
            }
            if (r.pid) {
                auto [it, fresh] = names.try_emplace(*r.pid);
                if (fresh) {
                    it->second = process_name(*r.pid);
                }
                w.process = it->second;
            }
            windows.push_back(std::move(w));
        }
    }
    return windows;
}

}  // namespace vantle::x11
