#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <thread>

#include "fakes/timed.h"
#include "platform/make_platform.h"
#include "platform/x11/capture_x11.h"
#include "platform/x11/desktop_x11.h"
#include "x11/process_output.h"
#include "x11/x_server.h"

namespace vantle::x11 {
namespace {

using std::chrono::milliseconds;

// Bounded wait for a condition that no event announces.
bool wait_until(const std::function<bool()>& condition, milliseconds timeout = milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

// The RGBA of one pixel as 0xRRGGBBAA.
std::uint32_t pixel(const RgbaImage& image, std::uint32_t x, std::uint32_t y) {
    const std::size_t i = (std::size_t{y} * image.width + x) * 4;
    return std::uint32_t{image.pixels[i]} << 24 | std::uint32_t{image.pixels[i + 1]} << 16 |
           std::uint32_t{image.pixels[i + 2]} << 8 | image.pixels[i + 3];
}

bool all_pixels(const RgbaImage& image, std::uint32_t rgba) {
    for (std::uint32_t y = 0; y < image.height; ++y) {
        for (std::uint32_t x = 0; x < image.width; ++x) {
            if (pixel(image, x, y) != rgba) {
                return false;
            }
        }
    }
    return true;
}

class X11PlatformTest : public ::testing::Test {
  protected:
    void start(const std::string& screen = "1280x800x24", bool window_manager = false) {
        server_ = XServer::start(screen);
        ASSERT_TRUE(server_) << "Xvfb did not start";
        if (window_manager) {
            ASSERT_TRUE(server_->start_window_manager()) << "openbox did not start";
        }
        platform_ = make_platform();
    }

    XServer::Window window(const std::vector<std::string>& args) {
        std::optional<XServer::Window> w = server_->open_window(args);
        EXPECT_TRUE(w) << "the test window did not come up: " << ::testing::PrintToString(args);
        return w ? std::move(*w) : XServer::Window{};
    }

    std::vector<WindowInfo> windows() {
        auto listed = platform_->enumerate_windows();
        EXPECT_TRUE(listed) << listed.error().message;
        return listed ? *listed : std::vector<WindowInfo>{};
    }

    std::optional<WindowInfo> find(std::uint64_t handle) {
        for (const WindowInfo& w : windows()) {
            if (w.handle == handle) {
                return w;
            }
        }
        return std::nullopt;
    }

    std::vector<std::string> titles() {
        std::vector<std::string> out;
        for (const WindowInfo& w : windows()) {
            out.push_back(w.title);
        }
        return out;
    }

    std::unique_ptr<XServer> server_;
    PlatformPtr platform_;
};

// XWayland of Debian 12 does not announce its extension yet, so the session
// test there sees only the monitor names; the extension's answer is faked here.
TEST(IsXWayland, TheExtensionOrMonitorsAllNamedAfterXWaylandOutputs) {
    const auto monitors = [](std::vector<std::string> names) {
        std::vector<MonitorInfo> list;
        for (std::string& name : names) {
            MonitorInfo m;
            m.index = list.size();
            m.name = std::move(name);
            list.push_back(std::move(m));
        }
        return list;
    };
    struct Case {
        bool extension;
        std::vector<std::string> names;
        bool expected;
    };
    const Case cases[] = {
        {true, {"screen"}, true},
        {true, {}, true},
        {false, {"XWAYLAND0", "XWAYLAND1"}, true},
        {false, {"XWAYLAND0", "HDMI-1"}, false},
        {false, {"screen"}, false},
        {false, {}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_xwayland(c.extension, monitors(c.names)), c.expected)
            << c.extension << " " << c.names.size();
    }
}

TEST_F(X11PlatformTest, ListsMappedTopLevelsTopmostFirstWithoutAWindowManager) {
    start();
    auto bottom = window({"--title", "bottom", "--pos", "10,20", "--size", "100x50"});
    auto middle = window({"--title", "Grüße ✓ 窓", "--wm-name-only", "--pos", "40,40"});
    auto blank = window({"--title", " \t\u00a0 "});
    auto own = window({"--title", "mine", "--pid", std::to_string(::getpid())});
    auto untitled = window({"--no-title"});
    auto popup = window({"--title", "popup", "--override-redirect"});
    auto top = window({"--title", "  top  ", "--pos", "1200,700", "--size", "200x200"});

    const std::vector<WindowInfo> listed = windows();
    std::vector<std::string> names;
    for (const WindowInfo& w : listed) {
        names.push_back(w.title);
    }
    // WM_NAME is Latin-1, so the CJK title set there does not come through as
    // itself; the _NET_WM_NAME titles do.
    ASSERT_EQ(names.size(), 3u) << ::testing::PrintToString(names);
    EXPECT_EQ(names[0], "  top  ");
    EXPECT_EQ(names[2], "bottom");

    const WindowInfo& b = listed[2];
    EXPECT_EQ(b.handle, bottom.id);
    EXPECT_EQ(b.x, 10);
    EXPECT_EQ(b.y, 20);
    EXPECT_EQ(b.width, 100u);
    EXPECT_EQ(b.height, 50u);
    EXPECT_EQ(b.monitor, 0u);
    EXPECT_FALSE(b.minimized);
    EXPECT_EQ(b.pid, static_cast<std::uint32_t>(bottom.process->pid()));
    EXPECT_EQ(b.process, "vantle-test-window");
    EXPECT_EQ(listed[0].monitor, 0u) << "mostly off the screen, but on it";

    auto monitors = platform_->enumerate_monitors();
    ASSERT_TRUE(monitors);
    ASSERT_EQ(monitors->size(), 1u);
    EXPECT_EQ((*monitors)[0].width, 1280u);
    EXPECT_EQ((*monitors)[0].height, 800u);
    EXPECT_FALSE((*monitors)[0].primary) << "a plain Xvfb has no primary monitor";
}

TEST_F(X11PlatformTest, AWindowWithoutAPidPropertyIsTracedToItsProcess) {
    start("320x240x24");
    auto w = window({"--title", "anonymous", "--no-pid"});
    const auto listed = find(w.id);
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->pid, static_cast<std::uint32_t>(w.process->pid()));
    EXPECT_EQ(listed->process, "vantle-test-window");
}

TEST_F(X11PlatformTest, UsesTheWindowManagersListFramesAndMonitors) {
    start("1600x900x24", true);
    ASSERT_EQ(
        run_command({"xrandr", "--setmonitor", "*LEFT", "800/200x900/200+0+0", "screen"}).status,
        0);
    ASSERT_EQ(
        run_command({"xrandr", "--setmonitor", "RIGHT", "800/200x600/150+800+0", "none"}).status,
        0);
    auto first = window({"--title", "first", "--pos", "100,100", "--size", "300x200"});
    auto hidden = window({"--title", "hidden", "--iconic"});
    auto second = window({"--title", "Ünïcödé second", "--pos", "900,100", "--size", "200x100"});
    ASSERT_TRUE(wait_until([&] { return titles().size() == 3; }));

    const std::vector<WindowInfo> listed = windows();
    ASSERT_EQ(listed.size(), 3u);
    // Newest on top; the minimized one stays in the stacking order.
    EXPECT_EQ(listed[0].title, "Ünïcödé second");
    EXPECT_EQ(listed[0].monitor, 1u);
    const auto w = std::find_if(listed.begin(), listed.end(),
                                [](const WindowInfo& i) { return i.title == "first"; });
    ASSERT_NE(w, listed.end());
    // The frame: the client grown by openbox's extents (1, 1, 20, 5 here).
    EXPECT_EQ(w->width, 302u);
    EXPECT_EQ(w->height, 225u);
    EXPECT_EQ(w->monitor, 0u);
    const auto h = std::find_if(listed.begin(), listed.end(),
                                [](const WindowInfo& i) { return i.title == "hidden"; });
    ASSERT_NE(h, listed.end());
    EXPECT_TRUE(h->minimized);
    EXPECT_FALSE(h->x.has_value());
    EXPECT_FALSE(h->width.has_value());
    EXPECT_FALSE(h->monitor.has_value());

    auto monitors = platform_->enumerate_monitors();
    ASSERT_TRUE(monitors);
    ASSERT_EQ(monitors->size(), 2u);
    EXPECT_EQ((*monitors)[0].name, "LEFT");
    EXPECT_TRUE((*monitors)[0].primary);
    EXPECT_EQ((*monitors)[1].name, "RIGHT");
    EXPECT_FALSE((*monitors)[1].primary);
    EXPECT_EQ((*monitors)[1].x, 800);
    EXPECT_EQ((*monitors)[1].height, 600u);
}

// The windows a window manager lists on the root, as it last wrote them.
std::vector<std::uint32_t> stacking_list() {
    std::vector<std::uint32_t> out;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const char name[] = "_NET_CLIENT_LIST_STACKING";
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof name - 1, name), nullptr);
    if (atom != nullptr) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_get_property_reply_t* p = xcb_get_property_reply(
            c, xcb_get_property(c, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1u << 20), nullptr);
        if (p != nullptr && p->format == 32) {
            const auto* words = static_cast<const std::uint32_t*>(xcb_get_property_value(p));
            out.assign(words, words + xcb_get_property_value_length(p) / 4);
        }
        std::free(p);
    }
    std::free(atom);
    xcb_disconnect(c);
    return out;
}

// Hundreds of windows of one client, whose requests go out in batches before
// their replies are read: each window's fields stay its own, in stacking order,
// and with a window manager whose list still names windows that are gone (it
// is stopped while they close) those alone drop out, batch boundary included.
TEST_F(X11PlatformTest, ListsHundredsOfWindowsEachWithItsOwnFieldsAsSomeVanish) {
    constexpr std::size_t kCount = 300;
    for (const bool window_manager : {false, true}) {
        SCOPED_TRACE(window_manager ? "with a window manager" : "without one");
        start("1280x800x24", window_manager);
        std::optional<XServer::Crowd> crowd = server_->open_crowd(kCount, "crowd");
        ASSERT_TRUE(crowd) << "the crowd of windows did not come up";
        const auto pid = static_cast<std::uint32_t>(crowd->process->pid());
        const std::array<std::uint32_t, 4> extents =
            window_manager ? frame_extents(crowd->ids[0]) : std::array<std::uint32_t, 4>{};

        // Window i (from 1) is expected unless gone; topmost, the newest, first.
        const auto check = [&](const std::function<bool(std::size_t)>& gone) {
            const std::vector<WindowInfo> listed = windows();
            std::size_t at = 0;
            for (std::size_t i = kCount; i >= 1; --i) {
                if (gone(i)) {
                    continue;
                }
                SCOPED_TRACE("window " + std::to_string(i));
                ASSERT_LT(at, listed.size());
                const WindowInfo& w = listed[at++];
                const std::string title =
                    "crowd " + std::to_string(i) + (i % 4 == 0 ? " \u00e9" : "");
                EXPECT_EQ(w.title, title);
                EXPECT_EQ(w.handle, crowd->ids[i - 1]);
                EXPECT_EQ(w.pid, pid);
                EXPECT_EQ(w.process, "vantle-test-crowd");
                const bool minimized = window_manager && i % 5 == 0;
                EXPECT_EQ(w.minimized, minimized);
                if (minimized) {
                    EXPECT_FALSE(w.width.has_value());
                    continue;
                }
                EXPECT_EQ(w.width, 40 + extents[0] + extents[1]);
                EXPECT_EQ(w.height, 30 + extents[2] + extents[3]);
                if (!window_manager) {
                    EXPECT_EQ(w.x, static_cast<std::int32_t>((i - 1) % 32 * 40));
                    EXPECT_EQ(w.y, static_cast<std::int32_t>((i - 1) / 32 % 20 * 30));
                }
            }
            EXPECT_EQ(at, listed.size());
        };
        check([](std::size_t) { return false; });

        if (window_manager) {
            // Every seventh, and a run across the first batch's end (the 256th
            // listed is window 45).
            const auto gone = [](std::size_t i) { return i % 7 == 0 || (i >= 40 && i <= 50); };
            std::string command = "destroy";
            for (std::size_t i = 1; i <= kCount; ++i) {
                if (gone(i)) {
                    command += " " + std::to_string(i);
                }
            }
            server_->pause_window_manager(true);
            ASSERT_TRUE(crowd->process->write_line(command));
            ASSERT_EQ(crowd->process->read_line(std::chrono::seconds(10)), "ok");
            const std::vector<std::uint32_t> stale = stacking_list();
            ASSERT_NE(std::find(stale.begin(), stale.end(), crowd->ids[6]), stale.end())
                << "the window manager's list no longer names a window that is gone";
            check(gone);
            server_->pause_window_manager(false);
        }
    }
}

TEST_F(X11PlatformTest, CapturesACoveredWindowAsItselfInItsFrame) {
    start("640x480x24", true);
    auto covered =
        window({"--title", "covered", "--color", "CC2211", "--pos", "20,20", "--size", "200x120"});
    auto cover =
        window({"--title", "cover", "--color", "1122CC", "--pos", "60,40", "--size", "300x200"});
    ASSERT_TRUE(wait_until([&] { return titles().size() == 2; }));
    const std::optional<WindowInfo> info = find(covered.id);
    ASSERT_TRUE(info);
    auto picture = platform_->capture_window(*info, false);
    ASSERT_TRUE(picture) << picture.error().message;
    EXPECT_EQ(picture->width, info->width);
    EXPECT_EQ(picture->height, info->height);
    const auto [left, right, top, bottom] = frame_extents(covered.id);
    ASSERT_EQ(picture->width, 200 + left + right);
    for (std::uint32_t y = top; y < top + 120; ++y) {
        for (std::uint32_t x = left; x < left + 200; ++x) {
            ASSERT_EQ(pixel(*picture, x, y), 0xCC2211FFu) << x << "," << y;
        }
    }
}

TEST_F(X11PlatformTest, CopiesMonitorsAndRegionsWithBlackWhereNoMonitorIs) {
    start("800x600x24");
    ASSERT_EQ(
        run_command({"xrandr", "--setmonitor", "LEFT", "400/100x600/150+0+0", "screen"}).status, 0);
    ASSERT_EQ(
        run_command({"xrandr", "--setmonitor", "RIGHT", "400/100x300/75+400+0", "none"}).status, 0);
    auto backdrop = window({"--title", "backdrop", "--color", "22AA44", "--pos", "0,0", "--size",
                            "800x600", "--override-redirect"});

    MonitorInfo right;
    right.index = 1;
    auto monitor = platform_->capture_monitor(right, false);
    ASSERT_TRUE(monitor) << monitor.error().message;
    EXPECT_EQ(monitor->width, 400u);
    EXPECT_EQ(monitor->height, 300u);
    EXPECT_TRUE(all_pixels(*monitor, 0x22AA44FF));

    MonitorInfo missing;
    missing.index = 2;
    EXPECT_EQ(platform_->capture_monitor(missing, false).error().message, "there is no monitor 2");

    auto region = platform_->capture_region(Region{300, 200, 200, 200}, false);
    ASSERT_TRUE(region) << region.error().message;
    ASSERT_EQ(region->width, 200u);
    ASSERT_EQ(region->height, 200u);
    EXPECT_EQ(pixel(*region, 50, 150), 0x22AA44FFu) << "left monitor, below the right one's end";
    EXPECT_EQ(pixel(*region, 150, 50), 0x22AA44FFu) << "right monitor";
    EXPECT_EQ(pixel(*region, 150, 150), 0x000000FFu) << "below the shorter monitor";

    auto clipped = platform_->capture_region(Region{-50, -50, 100, 100}, false);
    ASSERT_TRUE(clipped);
    EXPECT_EQ(clipped->width, 50u);
    EXPECT_EQ(platform_->capture_region(Region{900, 0, 10, 10}, false).error().message,
              "selection had no area");
}

TEST_F(X11PlatformTest, DrawsThePointerOnlyWhereItIs) {
    start("320x240x24");
    auto backdrop = window(
        {"--title", "backdrop", "--color", "808080", "--size", "320x240", "--override-redirect"});
    warp_pointer(100, 80);
    MonitorInfo first;
    auto plain = platform_->capture_monitor(first, false);
    auto with = platform_->capture_monitor(first, true);
    ASSERT_TRUE(plain && with);
    std::size_t changed = 0;
    for (std::uint32_t y = 0; y < plain->height; ++y) {
        for (std::uint32_t x = 0; x < plain->width; ++x) {
            if (pixel(*plain, x, y) != pixel(*with, x, y)) {
                ++changed;
                EXPECT_LT(std::abs(static_cast<int>(x) - 100), 32) << x << "," << y;
                EXPECT_LT(std::abs(static_cast<int>(y) - 80), 32) << x << "," << y;
            }
        }
    }
    EXPECT_GT(changed, 10u);

    WindowInfo info;
    info.handle = backdrop.id;
    auto window_picture = platform_->capture_window(info, true);
    ASSERT_TRUE(window_picture);
    EXPECT_EQ(*window_picture, *with) << "the window fills the screen, so the pictures agree";
}

TEST_F(X11PlatformTest, MinimizesAndRestoresWithoutMovingTheFocus) {
    start("800x600x24", true);
    auto target = window({"--title", "target", "--pos", "10,10"});
    auto other = window({"--title", "other", "--pos", "300,300"});
    ASSERT_TRUE(wait_until([&] { return titles().size() == 2; }));
    activate(other.id);
    ASSERT_TRUE(wait_until([&] { return read_focus().active == other.id; }));
    const FocusState before = read_focus();

    WindowInfo info;
    info.handle = target.id;
    info.title = "target";
    platform_->minimize_window(info);
    ASSERT_TRUE(wait_until([&] {
        const auto w = find(target.id);
        return w && w->minimized;
    }));
    ASSERT_TRUE(platform_->restore_window(info));
    const auto restored = find(target.id);
    ASSERT_TRUE(restored);
    EXPECT_FALSE(restored->minimized);
    EXPECT_TRUE(restored->x.has_value());
    EXPECT_EQ(read_focus(), before);
    EXPECT_TRUE(platform_->capture_window(info, false)) << "a restored window can be captured";

    // A restored window is no longer minimized: restoring again returns at once.
    const auto [again, took] = testing::timed([&] { return platform_->restore_window(info); });
    EXPECT_TRUE(again);
    EXPECT_LT(took, testing::kAtOnce);
}

TEST_F(X11PlatformTest, AWindowThatIsGoneNoLongerExists) {
    start("320x240x24");
    auto w = window({"--title", "short-lived"});
    WindowInfo info;
    info.handle = w.id;
    EXPECT_TRUE(platform_->window_exists(info));
    w.process->write_line("quit");
    ASSERT_EQ(w.process->wait(milliseconds(5000)), 0);
    EXPECT_FALSE(platform_->window_exists(info));
    // Minimizing it is no failure and waits for no window manager to confirm.
    const auto took = testing::timed([&] {
                          platform_->minimize_window(info);
                          return true;
                      }).second;
    EXPECT_LT(took, testing::kAtOnce);
    EXPECT_FALSE(platform_->window_exists(info));
    EXPECT_FALSE(platform_->capture_window(info, false));
}

TEST_F(X11PlatformTest, AWindowSourceFollowsItsSizeAndEndsWithTheWindow) {
    start("640x480x24");
    auto w = window({"--title", "recorded", "--color", "FF8800", "--size", "120x80"});
    WindowInfo info;
    info.handle = w.id;
    auto source = platform_->start_recording_source(RecordWindow{info}, false);
    ASSERT_TRUE(source) << source.error().message;
    const FrameHandle first = (*source)->wait_first_frame(milliseconds(3000));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->width, 120u);
    EXPECT_EQ(first->height, 80u);

    ASSERT_TRUE(w.process->write_line("resize 160 90"));
    ASSERT_EQ(w.process->read_line(milliseconds(5000)), "ok");
    // The grown window's first picture may still show the background until its
    // client has repainted; a later one shows it.
    EXPECT_TRUE(wait_until([&] {
        const FrameHandle f = (*source)->latest_frame();
        const std::size_t last = (std::size_t{160} * 90 - 1) * 4;
        return f->width == 160 && f->height == 90 && f->pixels[last] == 0x00 &&
               f->pixels[last + 1] == 0x88 && f->pixels[last + 2] == 0xFF;
    }));

    EXPECT_FALSE((*source)->has_ended());
    w.process->write_line("quit");
    EXPECT_TRUE(wait_until([&] { return (*source)->has_ended(); }));
    EXPECT_TRUE((*source)->latest_frame()) << "the last picture stays readable";
}

// A monitor or region source follows what the screen shows, not only its
// first picture.
TEST_F(X11PlatformTest, MonitorAndRegionSourcesDeliverTheScreensPixelsAsTheyChange) {
    start("640x480x24");
    auto w = window(
        {"--title", "backdrop", "--color", "0000FF", "--size", "640x480", "--override-redirect"});
    MonitorInfo monitor;
    monitor.width = 640;
    monitor.height = 480;
    struct Case {
        const char* name;
        RecordTarget target;
        std::uint32_t width, height;
    };
    const Case cases[] = {
        {"monitor", RecordMonitor{monitor}, 640, 480},
        // Cut to the monitor's edge.
        {"region", RecordRegion{Region{600, 400, 100, 100}, monitor}, 40, 80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(w.process->write_line("color 0000FF"));
        ASSERT_EQ(w.process->read_line(milliseconds(5000)), "ok");
        auto source = platform_->start_recording_source(c.target, false);
        ASSERT_TRUE(source) << source.error().message;
        const FrameHandle first = (*source)->wait_first_frame(milliseconds(3000));
        ASSERT_TRUE(first);
        EXPECT_EQ(first->width, c.width);
        EXPECT_EQ(first->height, c.height);
        EXPECT_EQ(first->pixels[0], 0xFF);
        EXPECT_EQ(first->pixels[2], 0x00);

        ASSERT_TRUE(w.process->write_line("color FF0000"));
        ASSERT_EQ(w.process->read_line(milliseconds(5000)), "ok");
        EXPECT_TRUE(wait_until([&] {
            const FrameHandle f = (*source)->latest_frame();
            const std::size_t last = f->pixels.size() - 4;
            return f->pixels[last] == 0x00 && f->pixels[last + 2] == 0xFF;
        })) << "the new colour never arrived";
    }
}

// A frame that is larger than the window as listed (a window manager's
// invisible resize borders, a virtual root) is cut to the listed rectangle.
TEST(CutToListed, KeepsTheListedPartOfAFramesPicture) {
    // A 10x8 frame at root (100, 50) whose pixel (x, y) holds x and y.
    XPixels frame{10, 8, std::vector<std::uint8_t>(10 * 8 * 4)};
    for (std::uint32_t y = 0; y < 8; ++y) {
        for (std::uint32_t x = 0; x < 10; ++x) {
            frame.bgrx[(y * 10 + x) * 4] = static_cast<std::uint8_t>(x);
            frame.bgrx[(y * 10 + x) * 4 + 1] = static_cast<std::uint8_t>(y);
        }
    }
    struct Case {
        const char* name;
        Region listed;
        std::uint32_t width, height;
        std::int32_t x, y;  // where the result starts, in root coordinates
    };
    const Case cases[] = {
        {"the whole frame", {100, 50, 10, 8}, 10, 8, 100, 50},
        {"inside borders", {102, 51, 6, 5}, 6, 5, 102, 51},
        {"reaching past the frame", {95, 55, 10, 10}, 5, 3, 100, 55},
        {"missing the frame", {300, 300, 5, 5}, 10, 8, 100, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PlacedPixels placed = cut_to_listed(frame, 100, 50, c.listed);
        ASSERT_EQ(placed.pixels.width, c.width);
        ASSERT_EQ(placed.pixels.height, c.height);
        ASSERT_EQ(placed.pixels.bgrx.size(), std::size_t{c.width} * c.height * 4);
        EXPECT_EQ(placed.x, c.x);
        EXPECT_EQ(placed.y, c.y);
        const std::size_t last = placed.pixels.bgrx.size() - 4;
        EXPECT_EQ(placed.pixels.bgrx[0], c.x - 100) << "first column";
        EXPECT_EQ(placed.pixels.bgrx[1], c.y - 50) << "first row";
        EXPECT_EQ(placed.pixels.bgrx[last], c.x - 100 + static_cast<int>(c.width) - 1);
        EXPECT_EQ(placed.pixels.bgrx[last + 1], c.y - 50 + static_cast<int>(c.height) - 1);
    }
}

bool display_answers(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    const bool answers = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    return answers;
}

// A test that is killed runs no destructors; the X server it started must not
// stay behind.
TEST(XServerFixture, TheServerOfAKilledTestEndsWithIt) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t test = ::fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
        ::close(fds[0]);
        const std::unique_ptr<XServer> server = XServer::start("320x240x24");
        const std::string line = (server ? server->display() : std::string()) + "\n";
        (void)!::write(fds[1], line.data(), line.size());
        ::raise(SIGKILL);
    }
    ::close(fds[1]);
    std::string display;
    char ch = 0;
    while (::read(fds[0], &ch, 1) == 1 && ch != '\n') {
        display += ch;
    }
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(test, &status, 0), test);
    EXPECT_TRUE(WIFSIGNALED(status));
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    EXPECT_TRUE(wait_until([&] { return !display_answers(display); }))
        << "the X server outlived the test that started it";
}

}  // namespace
}  // namespace vantle::x11
