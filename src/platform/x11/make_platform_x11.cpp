#include <chrono>
#include <thread>
#include <variant>

#include "capture/desktop_picture.h"
#include "platform/make_platform.h"
#include "platform/restore_wait.h"
#include "platform/x11/capture_x11.h"
#include "platform/x11/desktop_x11.h"
#include "platform/x11/encoder_module.h"
#include "platform/x11/source_x11.h"
#include "platform/x11/xcb_session.h"

namespace vantle {

namespace {

using x11::XcbSession;

constexpr std::uint32_t kIconicState = 3;
constexpr std::uint32_t kNetWmStateRemove = 0;
constexpr std::uint32_t kSourceIsPager = 2;
// How long minimizing waits to see the window manager act on the request.
constexpr std::chrono::milliseconds kMinimizeConfirm(1000);

template <typename T>
CliResult<T> as_cli(Result<T> result) {
    if (!result) {
        return std::unexpected(CliError::from(result.error()));
    }
    return std::move(*result);
}

Result<XcbSession> connect() {
    return XcbSession::open();
}

// The Linux desktop on an X server. Holds nothing: every call opens its own
// connection, so calls from several threads never share one.
class X11Platform final : public Platform {
  public:
    CliResult<std::vector<MonitorInfo>> enumerate_monitors() override {
        Result<XcbSession> x = connect();
        if (!x) {
            return std::unexpected(CliError::from(x.error()));
        }
        return as_cli(x11::list_monitors(*x));
    }

    CliResult<std::vector<WindowInfo>> enumerate_windows() override {
        Result<XcbSession> x = connect();
        if (!x) {
            return std::unexpected(CliError::from(x.error()));
        }
        Result<std::vector<MonitorInfo>> monitors = x11::list_monitors(*x);
        if (!monitors) {
            return std::unexpected(CliError::from(monitors.error()));
        }
        return as_cli(x11::list_windows(*x, *monitors));
    }

    CliResult<RgbaImage> capture_window(const WindowInfo& window, bool cursor) override {
        return as_cli(
            window_picture(static_cast<xcb_window_t>(window.handle), window.title, cursor));
    }

    CliResult<RgbaImage> capture_monitor(const MonitorInfo& monitor, bool cursor) override {
        return monitor_picture(monitor.index, cursor);
    }

    CliResult<RgbaImage> capture_region(const Region& region, bool cursor) override {
        return region_picture(region, cursor);
    }

    CliStatus restore_window(const WindowInfo& window) override {
        Result<XcbSession> x = connect();
        if (!x) {
            return std::unexpected(CliError::from(x.error()));
        }
        const auto handle = static_cast<xcb_window_t>(window.handle);
        if (x->window_manager()) {
            // Mapping or activating the window would move the focus to it; taking
            // the hidden state away restores it where it was and leaves the focus.
            x->send_root_message(handle, x->atom("_NET_WM_STATE"), kNetWmStateRemove,
                                 x->atom("_NET_WM_STATE_HIDDEN"), 0, kSourceIsPager);
        } else {
            xcb_map_window(x->conn(), handle);
        }
        xcb_flush(x->conn());
        return wait_until_restored(window.title, [&] { return x->is_minimized(handle); });
    }

    void minimize_window(const WindowInfo& window) override {
        Result<XcbSession> x = connect();
        if (!x) {
            return;
        }
        const auto handle = static_cast<xcb_window_t>(window.handle);
        x->send_root_message(handle, x->atom("WM_CHANGE_STATE"), kIconicState);
        if (!x->window_manager()) {
            return;
        }
        // openbox has been seen to drop a request that arrives while it is busy
        // with a focus change; ask again until it is done, for a short while, so
        // that a window restored for a capture is not left open.
        const auto deadline = std::chrono::steady_clock::now() + kMinimizeConfirm;
        int polls = 0;
        while (!x->is_minimized(handle) && exists(*x, handle) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            if (++polls % 4 == 0) {
                x->send_root_message(handle, x->atom("WM_CHANGE_STATE"), kIconicState);
            }
        }
    }

    bool window_exists(const WindowInfo& window) override {
        Result<XcbSession> x = connect();
        if (!x) {
            return false;
        }
        return exists(*x, static_cast<xcb_window_t>(window.handle));
    }

    CliResult<std::unique_ptr<FrameSource>> start_recording_source(const RecordTarget& target,
                                                                   bool cursor) override {
        if (!std::holds_alternative<RecordWindow>(target)) {
            if (CliStatus shown = desktop_shown(); !shown) {
                return std::unexpected(std::move(shown.error()));
            }
        }
        return as_cli(x11::start_x11_source(target, cursor));
    }

    CliResult<std::unique_ptr<VideoEncoder>> open_encoder(const std::filesystem::path& path,
                                                          std::uint32_t width, std::uint32_t height,
                                                          std::uint32_t fps) override {
        return as_cli(x11::open_module_encoder(path, width, height, fps));
    }

  private:
    // The root window of a Wayland session's X server shows only the windows
    // of X11 programs: a monitor or a region of it would be black where
    // Wayland programs are, so it is refused as unsupported here, on the
    // connection and with the monitor list that the capture itself uses. The
    // monitors, when the server shows the desktop.
    static CliResult<std::vector<MonitorInfo>> shown_monitors(XcbSession& x) {
        Result<x11::SessionMonitors> listed = x11::list_session_monitors(x);
        if (!listed) {
            return std::unexpected(CliError::from(listed.error()));
        }
        if (listed->xwayland) {
            return std::unexpected(CliError{
                "the desktop of a Wayland session cannot be captured through X11, which sees "
                "only the windows of X11 programs; those windows can be captured with --window",
                ExitCode::kUnsupported});
        }
        return std::move(listed->monitors);
    }

    static CliStatus desktop_shown() {
        Result<XcbSession> x = connect();
        if (!x) {
            return std::unexpected(CliError::from(x.error()));
        }
        if (CliResult<std::vector<MonitorInfo>> monitors = shown_monitors(*x); !monitors) {
            return std::unexpected(std::move(monitors.error()));
        }
        return {};
    }

    static bool exists(XcbSession& x, xcb_window_t window) {
        const x11::Reply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
            x.conn(), xcb_get_window_attributes(x.conn(), window), nullptr));
        return reply != nullptr;
    }

    static Result<RgbaImage> window_picture(xcb_window_t client, const std::string& title,
                                            bool cursor) {
        Result<XcbSession> x = connect();
        if (!x) {
            return std::unexpected(std::move(x.error()));
        }
        const std::optional<xcb_window_t> frame = x11::frame_window(*x, client);
        if (!frame) {
            return std::unexpected(Error("the window has closed"));
        }
        const xcb_window_t window = *frame;
        const auto deadline = std::chrono::steady_clock::now() + kDrawLimit;
        Result<x11::RedirectedWindow> redirected = x11::RedirectedWindow::open(*x, window, client);
        if (!redirected) {
            return std::unexpected(std::move(redirected.error()));
        }
        if (!redirected->wait_painted(deadline)) {
            return std::unexpected(Error(not_drawn_message(title)));
        }
        Result<x11::XPixels> pixels = redirected->read();
        if (!pixels) {
            return std::unexpected(std::move(pixels.error()));
        }
        const auto origin = x11::window_origin(*x, window);
        const std::optional<Region> listed =
            x11::listed_frame(*x, client, x->window_manager().has_value());
        if (!origin || !listed) {
            return std::unexpected(Error("the window has closed"));
        }
        const x11::PlacedPixels placed =
            x11::cut_to_listed(std::move(*pixels), origin->first, origin->second, *listed);
        RgbaImage picture = x11::to_rgba_image(placed.pixels);
        if (cursor) {
            if (Status drawn = x11::draw_pointer(*x, picture, placed.x, placed.y); !drawn) {
                return std::unexpected(std::move(drawn.error()));
            }
        }
        return picture;
    }

    static PointerDrawer pointer_drawer(XcbSession& x, bool cursor) {
        if (!cursor) {
            return {};
        }
        return [&x](RgbaImage& picture, std::int32_t origin_x, std::int32_t origin_y) {
            return x11::draw_pointer(x, picture, origin_x, origin_y);
        };
    }

    static CliResult<RgbaImage> monitor_picture(std::uint64_t index, bool cursor) {
        Result<XcbSession> x = connect();
        if (!x) {
            return std::unexpected(CliError::from(x.error()));
        }
        CliResult<std::vector<MonitorInfo>> monitors = shown_monitors(*x);
        if (!monitors) {
            return std::unexpected(std::move(monitors.error()));
        }
        if (index >= monitors->size()) {
            return std::unexpected(
                CliError::from(Error("there is no monitor " + std::to_string(index))));
        }
        x11::RootCopier copier(*x);
        return as_cli(picture_with_pointer(x11::copy_monitor(*x, copier, (*monitors)[index]),
                                           pointer_drawer(*x, cursor)));
    }

    static CliResult<RgbaImage> region_picture(const Region& region, bool cursor) {
        Result<XcbSession> x = connect();
        if (!x) {
            return std::unexpected(CliError::from(x.error()));
        }
        CliResult<std::vector<MonitorInfo>> monitors = shown_monitors(*x);
        if (!monitors) {
            return std::unexpected(std::move(monitors.error()));
        }
        x11::RootCopier copier(*x);
        return as_cli(vantle::region_picture(
            monitors->size(),
            [&](std::size_t i) { return x11::copy_monitor(*x, copier, (*monitors)[i]); }, region,
            pointer_drawer(*x, cursor)));
    }
};

}  // namespace

PlatformPtr make_platform() {
    return std::make_shared<X11Platform>();
}

}  // namespace vantle
