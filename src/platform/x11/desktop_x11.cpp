#include "platform/x11/desktop_x11.h"

#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/res.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
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

std::optional<std::uint32_t> window_pid(XcbSession& x, xcb_window_t window) {
    if (const std::optional<std::uint32_t> pid = x.word(window, "_NET_WM_PID")) {
        return pid;
    }
    // Without the property, ask the server which local process made the window.
    // (A request of a missing extension would close the connection.)
    const xcb_query_extension_reply_t* res = xcb_get_extension_data(x.conn(), &xcb_res_id);
    if (res == nullptr || res->present == 0) {
        return std::nullopt;
    }
    xcb_res_client_id_spec_t query{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    const Reply<xcb_res_query_client_ids_reply_t> reply(xcb_res_query_client_ids_reply(
        x.conn(), xcb_res_query_client_ids(x.conn(), 1, &query), nullptr));
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
    // The border lies outside the origin and the size the server reports.
    const std::int64_t border = geometry->border_width;
    std::int64_t left = origin->dst_x - border;
    std::int64_t top = origin->dst_y - border;
    std::int64_t width = geometry->width + 2 * border;
    std::int64_t height = geometry->height + 2 * border;
    if (with_extents) {
        const std::vector<std::uint32_t> e = x.words(client, "_NET_FRAME_EXTENTS");
        if (e.size() >= 4) {
            left -= e[0];
            top -= e[2];
            width += std::int64_t{e[0]} + e[1];
            height += std::int64_t{e[2]} + e[3];
        }
    }
    if (width < 1 || height < 1) {
        return std::nullopt;
    }
    return Region{static_cast<std::int32_t>(left), static_cast<std::int32_t>(top),
                  static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
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

Result<bool> is_xwayland(XcbSession& x) {
    constexpr std::string_view kName = "XWAYLAND";
    const Reply<xcb_query_extension_reply_t> extension(xcb_query_extension_reply(
        x.conn(),
        xcb_query_extension(x.conn(), static_cast<std::uint16_t>(kName.size()), kName.data()),
        nullptr));
    Result<std::vector<MonitorInfo>> monitors = list_monitors(x);
    if (!monitors) {
        return std::unexpected(std::move(monitors.error()));
    }
    return is_xwayland(extension && extension->present != 0, *monitors);
}

std::string window_title(XcbSession& x, xcb_window_t window) {
    if (const auto name = x.property(window, x.atom("_NET_WM_NAME"))) {
        return utf8_lossy(std::string_view(reinterpret_cast<const char*>(name->bytes.data()),
                                           name->bytes.size()));
    }
    if (const auto name = x.property(window, XCB_ATOM_WM_NAME)) {
        if (name->type == x.atom("UTF8_STRING")) {
            return utf8_lossy(std::string_view(reinterpret_cast<const char*>(name->bytes.data()),
                                               name->bytes.size()));
        }
        return latin1_to_utf8(name->bytes);
    }
    return {};
}

Result<std::vector<WindowInfo>> list_windows(XcbSession& x,
                                             const std::vector<MonitorInfo>& monitors) {
    const bool window_manager = x.window_manager().has_value();
    const std::optional<std::uint32_t> current_desktop =
        window_manager ? x.word(x.root(), "_NET_CURRENT_DESKTOP") : std::nullopt;
    const auto own_pid = static_cast<std::uint32_t>(::getpid());
    std::map<std::uint32_t, std::optional<std::string>> names;

    std::vector<WindowInfo> windows;
    for (const xcb_window_t handle : candidates(x, window_manager)) {
        const std::optional<std::uint32_t> pid = window_pid(x, handle);
        if (pid == own_pid) {
            continue;
        }
        std::string title = window_title(x, handle);
        if (trim_unicode_white_space(title).empty()) {
            continue;
        }
        if (window_manager) {
            // A window on another virtual desktop is out of sight, like a cloaked one.
            const std::optional<std::uint32_t> desktop = x.word(handle, "_NET_WM_DESKTOP");
            if (desktop && current_desktop && *desktop != kAllDesktops &&
                *desktop != *current_desktop) {
                continue;
            }
        }
        WindowInfo w;
        w.handle = handle;
        w.title = std::move(title);
        w.pid = pid;
        w.minimized = x.is_minimized(handle);
        if (!w.minimized) {
            const std::optional<Region> rect = listed_frame(x, handle, window_manager);
            if (!rect) {
                continue;
            }
            place_window(w, *rect, monitors);
        }
        if (pid) {
            auto [it, fresh] = names.try_emplace(*pid);
            if (fresh) {
                it->second = process_name(*pid);
            }
            w.process = it->second;
        }
        windows.push_back(std::move(w));
    }
    return windows;
}

}  // namespace vantle::x11
