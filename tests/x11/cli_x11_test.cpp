// The built vantle-cli on a private X server.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "x11/process_output.h"
#include "x11/x_server.h"

namespace vantle::x11 {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

CommandOutput cli(std::vector<std::string> args, bool keep_errors = false) {
    args.insert(args.begin(), VANTLE_CLI);
    return run_command(args, keep_errors);
}

class CliX11Test : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vantle-cli-x11-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void start(const std::string& screen, bool window_manager) {
        server_ = XServer::start(screen);
        ASSERT_TRUE(server_);
        if (window_manager) {
            ASSERT_TRUE(server_->start_window_manager());
        }
    }
    XServer::Window window(const std::vector<std::string>& args) {
        auto w = server_->open_window(args);
        EXPECT_TRUE(w);
        return w ? std::move(*w) : XServer::Window{};
    }
    nlohmann::json listing() {
        const CommandOutput out = cli({"windows", "--json"});
        EXPECT_EQ(out.status, 0);
        return nlohmann::json::parse(out.out, nullptr, false);
    }
    // Waits (bounded) until the window manager lists `count` windows.
    nlohmann::json listing_of(std::size_t count) {
        nlohmann::json doc;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        do {
            doc = listing();
            if (doc.is_object() && doc["windows"].size() == count) {
                break;
            }
            std::this_thread::sleep_for(milliseconds(20));
        } while (std::chrono::steady_clock::now() < deadline);
        return doc;
    }

    fs::path dir_;
    std::unique_ptr<XServer> server_;
};

TEST_F(CliX11Test, ListsWindowsAndMonitorsWithAWindowManager) {
    start("1600x900x24", true);
    ASSERT_EQ(
        run_command({"xrandr", "--setmonitor", "*LEFT", "800/200x900/225+0+0", "screen"}).status,
        0);
    ASSERT_EQ(
        run_command({"xrandr", "--setmonitor", "RIGHT", "800/200x600/150+800+0", "none"}).status,
        0);
    auto a = window({"--title", "Ærø — 東京", "--pos", "100,100", "--size", "300x200"});
    auto blank = window({"--title", "   "});
    auto iconic = window({"--title", "asleep", "--iconic"});
    auto b = window({"--title", "right side", "--pos", "1000,100", "--size", "300x200"});
    const nlohmann::json doc = listing_of(3);
    ASSERT_TRUE(doc.is_object());
    const auto& windows = doc["windows"];
    ASSERT_EQ(windows.size(), 3u) << doc.dump();
    EXPECT_EQ(windows[0]["title"], "right side");
    EXPECT_EQ(windows[0]["monitor"], 1);
    EXPECT_EQ(windows[0]["process"], "vantle-test-window");
    bool saw_asleep = false;
    for (const auto& w : windows) {
        if (w["title"] == "asleep") {
            saw_asleep = true;
            EXPECT_EQ(w["minimized"], true);
            EXPECT_TRUE(w["x"].is_null());
            EXPECT_TRUE(w["monitor"].is_null());
        }
    }
    EXPECT_TRUE(saw_asleep);
    EXPECT_EQ(windows[2]["title"], "Ærø — 東京");
    ASSERT_EQ(doc["monitors"].size(), 2u);
    EXPECT_EQ(doc["monitors"][0]["primary"], true);
    EXPECT_EQ(doc["monitors"][1]["name"], "RIGHT");

    const CommandOutput text = cli({"windows"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("\"Ærø — 東京\""), std::string::npos) << text.out;
}

TEST_F(CliX11Test, ListsTheMappedWindowsWithoutAWindowManager) {
    start("640x480x24", false);
    auto a = window({"--title", "lower", "--pos", "0,0"});
    auto b = window({"--title", "upper", "--pos", "50,50"});
    const nlohmann::json doc = listing();
    ASSERT_EQ(doc["windows"].size(), 2u) << doc.dump();
    EXPECT_EQ(doc["windows"][0]["title"], "upper");
    EXPECT_EQ(doc["windows"][0]["x"], 50);
    EXPECT_EQ(doc["windows"][1]["title"], "lower");
    EXPECT_EQ(doc["monitors"][0]["primary"], false);
}

// Decodes a PNG into RGBA bytes with ffmpeg; empty when it cannot.
std::string png_pixels(const fs::path& file) {
    return run_command({"ffmpeg", "-v", "error", "-i", file.string(), "-f", "rawvideo", "-pix_fmt",
                        "rgba", "-"})
        .out;
}

// The pixel at (x, y) of decoded RGBA bytes as 0xRRGGBBAA.
std::uint32_t pixel_at(const std::string& rgba, std::uint32_t width, std::uint32_t x,
                       std::uint32_t y) {
    const std::size_t i = (std::size_t{y} * width + x) * 4;
    if (i + 3 >= rgba.size()) {
        return 0;
    }
    const auto byte = [&](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(rgba[i + k]));
    };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

// Whether every pixel of the rectangle is `rgba` (0xRRGGBBAA); names the first that is not.
::testing::AssertionResult all_of(const std::string& pixels, std::uint32_t width,
                                  std::uint32_t left, std::uint32_t top, std::uint32_t w,
                                  std::uint32_t h, std::uint32_t rgba) {
    for (std::uint32_t y = top; y < top + h; ++y) {
        for (std::uint32_t x = left; x < left + w; ++x) {
            if (const std::uint32_t p = pixel_at(pixels, width, x, y); p != rgba) {
                return ::testing::AssertionFailure()
                       << "pixel " << x << "," << y << " is " << std::hex << p;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// The listed window of that title in a listing, which must outlive the pointer.
const nlohmann::json* find_window(const nlohmann::json& doc, const std::string& title) {
    if (!doc.is_object() || !doc.contains("windows")) {
        return nullptr;
    }
    for (const auto& w : doc["windows"]) {
        if (w["title"] == title) {
            return &w;
        }
    }
    return nullptr;
}
const nlohmann::json* find_window(nlohmann::json&&, const std::string&) = delete;

// A window's picture is its frame as listed: the client, as painted, inside the
// window manager's decorations, even where another window covers it; without
// a window manager it is the client alone.
TEST_F(CliX11Test, CapturesAWindowAsListedEvenWhereItIsCovered) {
    for (const bool window_manager : {true, false}) {
        SCOPED_TRACE(window_manager ? "openbox" : "no window manager");
        start("640x480x24", window_manager);
        auto covered = window(
            {"--title", "covered", "--color", "CC2211", "--pos", "20,20", "--size", "200x120"});
        auto cover = window(
            {"--title", "cover", "--color", "1122CC", "--pos", "60,40", "--size", "300x200"});
        const nlohmann::json doc = listing_of(2);
        const nlohmann::json* listed = find_window(doc, "covered");
        ASSERT_TRUE(listed) << doc.dump();
        const fs::path file = dir_ / "covered.png";
        const CommandOutput out =
            cli({"capture", "--window", "covered", "--out", file.string(), "--json"});
        ASSERT_EQ(out.status, 0);
        const nlohmann::json result = nlohmann::json::parse(out.out, nullptr, false);
        ASSERT_TRUE(result.is_object()) << out.out;
        const std::uint32_t width = (*listed)["width"];
        const std::uint32_t height = (*listed)["height"];
        EXPECT_EQ(result["width"], width);
        EXPECT_EQ(result["height"], height);
        const auto [left, right, top, bottom] = frame_extents(covered.id);
        EXPECT_EQ(width, 200 + left + right);
        EXPECT_EQ(height, 120 + top + bottom);
        if (window_manager) {
            EXPECT_GT(top, 0u) << "openbox gives the window a title bar";
        }
        const std::string rgba = png_pixels(file);
        ASSERT_EQ(rgba.size(), std::size_t{width} * height * 4);
        EXPECT_TRUE(all_of(rgba, width, left, top, 200, 120, 0xCC2211FF));
        for (std::size_t i = 0; i < rgba.size(); i += 4) {
            ASSERT_NE(rgba.substr(i, 3), "\x11\x22\xCC") << "the cover shows at pixel " << i / 4;
        }
        covered.process.reset();
        cover.process.reset();
        server_.reset();
    }
}

// Two monitors side by side, the right one shorter, under one backdrop colour.
void two_monitors() {
    ASSERT_EQ(
        run_command({"xrandr", "--setmonitor", "LEFT", "400/100x600/150+0+0", "screen"}).status, 0);
    ASSERT_EQ(
        run_command({"xrandr", "--setmonitor", "RIGHT", "400/100x300/75+400+0", "none"}).status, 0);
}

TEST_F(CliX11Test, CapturesAMonitorAndARegionAcrossMonitorsOfDifferentHeights) {
    start("800x600x24", false);
    two_monitors();
    auto backdrop = window({"--title", "backdrop", "--color", "22AA44", "--pos", "0,0", "--size",
                            "800x600", "--override-redirect"});
    const fs::path refused = dir_ / "refused.png";
    EXPECT_EQ(cli({"capture", "--monitor", "1", "--out", refused.string()}).status, 2);
    EXPECT_EQ(cli({"capture", "--region", "0,0,10,10", "--out", refused.string()}).status, 2);
    EXPECT_FALSE(fs::exists(refused));

    const fs::path monitor = dir_ / "monitor.png";
    const CommandOutput m =
        cli({"capture", "--monitor", "1", "--allow-desktop", "--out", monitor.string(), "--json"});
    ASSERT_EQ(m.status, 0);
    EXPECT_EQ(nlohmann::json::parse(m.out),
              nlohmann::json::parse(R"({"height":300,"monitor":1,"path":)" +
                                    nlohmann::json(monitor.string()).dump() +
                                    R"(,"target":{"kind":"monitor","pid":null,"process":null,)"
                                    R"("title":null},"width":400})"));
    EXPECT_TRUE(all_of(png_pixels(monitor), 400, 0, 0, 400, 300, 0x22AA44FF));

    const fs::path region = dir_ / "region.png";
    const CommandOutput r = cli({"capture", "--region", "300,200,200,200", "--allow-desktop",
                                 "--out", region.string(), "--json"});
    ASSERT_EQ(r.status, 0);
    const nlohmann::json result = nlohmann::json::parse(r.out);
    EXPECT_EQ(result["width"], 200);
    EXPECT_EQ(result["height"], 200);
    EXPECT_EQ(result["target"]["kind"], "region");
    const std::string rgba = png_pixels(region);
    ASSERT_EQ(rgba.size(), std::size_t{200} * 200 * 4);
    EXPECT_TRUE(all_of(rgba, 200, 0, 0, 100, 200, 0x22AA44FF)) << "the left monitor";
    EXPECT_TRUE(all_of(rgba, 200, 100, 0, 100, 100, 0x22AA44FF)) << "the right monitor";
    EXPECT_TRUE(all_of(rgba, 200, 100, 100, 100, 100, 0x000000FF)) << "below the shorter one";
}

// The pointer changes the pixels its shape covers, and no others.
TEST_F(CliX11Test, TheCursorOptionDrawsThePointerOverExactlyThePixelsItCovers) {
    start("400x300x24", false);
    auto backdrop = window(
        {"--title", "backdrop", "--color", "808080", "--size", "400x300", "--override-redirect"});
    warp_pointer(100, 80);
    const std::optional<PointerShape> shape = read_pointer_shape();
    ASSERT_TRUE(shape && shape->width > 0);
    ASSERT_EQ(shape->x, 100);

    struct Case {
        std::vector<std::string> target;
        int left, top;
        std::uint32_t width, height;
    };
    const Case cases[] = {
        {{"--monitor", "0"}, 0, 0, 400, 300},
        {{"--region", "90,70,150,100"}, 90, 70, 150, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target[0]);
        std::string pictures[2];
        for (int with = 0; with < 2; ++with) {
            const fs::path file = dir_ / ("p" + std::to_string(with) + ".png");
            std::vector<std::string> args = {"capture", "--allow-desktop", "--out", file.string()};
            args.insert(args.end(), c.target.begin(), c.target.end());
            if (with == 1) {
                args.push_back("--cursor");
            }
            ASSERT_EQ(cli(args).status, 0);
            pictures[with] = png_pixels(file);
            ASSERT_EQ(pictures[with].size(), std::size_t{c.width} * c.height * 4);
        }
        EXPECT_TRUE(all_of(pictures[0], c.width, 0, 0, c.width, c.height, 0x808080FF));
        std::size_t drawn = 0;
        for (std::uint32_t y = 0; y < c.height; ++y) {
            for (std::uint32_t x = 0; x < c.width; ++x) {
                const int px = c.left + static_cast<int>(x) - (shape->x - shape->hotspot_x);
                const int py = c.top + static_cast<int>(y) - (shape->y - shape->hotspot_y);
                const bool inside = px >= 0 && py >= 0 && px < static_cast<int>(shape->width) &&
                                    py < static_cast<int>(shape->height);
                const std::uint32_t argb =
                    inside ? shape->argb[static_cast<std::size_t>(py) * shape->width +
                                         static_cast<std::size_t>(px)]
                           : 0;
                const std::uint32_t got = pixel_at(pictures[1], c.width, x, y);
                if ((argb >> 24) == 0) {
                    ASSERT_EQ(got, 0x808080FFu) << "changed at " << x << "," << y;
                } else if ((argb >> 24) == 0xFF) {
                    // An opaque pointer pixel replaces the picture's.
                    ASSERT_EQ(got, (argb << 8) | 0xFF) << "at " << x << "," << y;
                    ++drawn;
                }
            }
        }
        EXPECT_GT(drawn, 10u);
    }
}

TEST_F(CliX11Test, RestoreCapturesAMinimizedWindowAndMinimizesItAgainWithoutMovingTheFocus) {
    start("800x600x24", true);
    auto target =
        window({"--title", "sleeper", "--color", "CC2211", "--size", "160x100", "--iconic"});
    auto other = window({"--title", "other", "--pos", "300,300"});
    listing_of(2);
    activate(other.id);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (read_focus().active != other.id && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    const FocusState before = read_focus();
    ASSERT_EQ(before.active, other.id);

    const fs::path file = dir_ / "sleeper.png";
    EXPECT_EQ(cli({"capture", "--window", "sleeper", "--out", file.string()}).status, 3);
    EXPECT_FALSE(fs::exists(file));

    const CommandOutput out =
        cli({"capture", "--window", "sleeper", "--restore", "--out", file.string(), "--json"});
    ASSERT_EQ(out.status, 0);
    const nlohmann::json result = nlohmann::json::parse(out.out);
    const auto [left, right, top, bottom] = frame_extents(target.id);
    const std::uint32_t width = 160 + left + right;
    EXPECT_EQ(result["width"], width);
    EXPECT_EQ(result["height"], 100 + top + bottom);
    EXPECT_TRUE(all_of(png_pixels(file), width, left, top, 160, 100, 0xCC2211FF));

    const nlohmann::json now = listing();
    const nlohmann::json* after = find_window(now, "sleeper");
    ASSERT_TRUE(after);
    EXPECT_EQ((*after)["minimized"], true);
    EXPECT_EQ(read_focus(), before);
}

TEST_F(CliX11Test, RecordsAWindowForTwoSecondsAsSixtyFramesOfH264) {
    start("640x480x24", true);
    auto w = window({"--title", "recorded", "--color", "22AA44", "--size", "201x151"});
    const nlohmann::json doc = listing_of(1);
    ASSERT_EQ(doc["windows"].size(), 1u);
    // The frame as listed, cut to even numbers.
    const std::uint32_t width = doc["windows"][0]["width"].get<std::uint32_t>() & ~1u;
    const std::uint32_t height = doc["windows"][0]["height"].get<std::uint32_t>() & ~1u;
    const fs::path file = dir_ / "rec.mp4";
    const CommandOutput out = cli(
        {"record", "--window", "recorded", "--max-seconds", "2", "--out", file.string(), "--json"});
    ASSERT_EQ(out.status, 0);
    EXPECT_NE(out.out.find("\"frames\":60"), std::string::npos) << out.out;
    const VideoProbe probe = probe_video(file);
    EXPECT_EQ(probe.codec, "h264");
    EXPECT_EQ(probe.frames, 60u);
    EXPECT_EQ(probe.frame_rate, "30/1");
    EXPECT_EQ(probe.width, width);
    EXPECT_EQ(probe.height, height);
    EXPECT_FALSE(fs::exists(dir_ / "rec.mp4.vantle-tmp"));
}

// Starts a recording without a limit and returns it with its id.
std::pair<std::unique_ptr<ChildProcess>, std::string> start_recording(
    const std::vector<std::string>& args) {
    std::vector<std::string> argv = {VANTLE_CLI, "record"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--json");
    auto process = ChildProcess::start(argv);
    std::string id;
    if (process) {
        const std::optional<std::string> line = process->read_line(std::chrono::seconds(20));
        const nlohmann::json started = nlohmann::json::parse(line.value_or(""), nullptr, false);
        if (started.is_object() && started.contains("id")) {
            id = started["id"].get<std::string>();
        }
    }
    return {std::move(process), id};
}

TEST_F(CliX11Test, ARecordingStopsFromAnotherProcessOrWhenItsWindowCloses) {
    start("640x480x24", true);
    auto w = window({"--title", "long", "--color", "4488CC", "--size", "160x120"});
    auto other = window({"--title", "closing", "--color", "CC8844", "--size", "120x100"});
    listing_of(2);
    {
        const fs::path file = dir_ / "stopped.mp4";
        auto [recording, id] = start_recording({"--window", "long", "--out", file.string()});
        ASSERT_FALSE(id.empty());
        const CommandOutput stop = cli({"record", "--stop", id});
        EXPECT_EQ(stop.status, 0) << stop.out;
        EXPECT_EQ(recording->wait(std::chrono::seconds(20)), 0);
        const VideoProbe probe = probe_video(file);
        EXPECT_EQ(probe.codec, "h264");
        EXPECT_GE(probe.frames, 1u);
    }
    {
        const fs::path file = dir_ / "closed.mp4";
        auto [recording, id] = start_recording({"--window", "closing", "--out", file.string()});
        ASSERT_FALSE(id.empty());
        other.process->write_line("quit");
        EXPECT_EQ(recording->wait(std::chrono::seconds(20)), 0);
        EXPECT_GE(probe_video(file).frames, 1u);
    }
    {
        const fs::path file = dir_ / "interrupted.mp4";
        auto [recording, id] = start_recording({"--window", "long", "--out", file.string()});
        ASSERT_FALSE(id.empty());
        recording->signal(SIGINT);
        EXPECT_EQ(recording->wait(std::chrono::seconds(20)), 0);
        EXPECT_GE(probe_video(file).frames, 1u);
    }
}

// The first frame of a video as RGB bytes; empty when it cannot be decoded.
std::string first_frame_rgb(const fs::path& file) {
    return run_command({"ffmpeg", "-v", "error", "-i", file.string(), "-frames:v", "1", "-f",
                        "rawvideo", "-pix_fmt", "rgb24", "-"})
        .out;
}

// Whether the decoded pixel is near 0xRRGGBB: H.264 is lossy.
::testing::AssertionResult near_colour(const std::string& rgb, std::uint32_t width, std::uint32_t x,
                                       std::uint32_t y, std::uint32_t colour) {
    const std::size_t i = (std::size_t{y} * width + x) * 3;
    if (i + 2 >= rgb.size()) {
        return ::testing::AssertionFailure() << "no pixel " << x << "," << y;
    }
    for (int k = 0; k < 3; ++k) {
        const int want = static_cast<int>((colour >> (16 - 8 * k)) & 0xFF);
        const int got = static_cast<unsigned char>(rgb[i + static_cast<std::size_t>(k)]);
        if (std::abs(want - got) > 24) {
            return ::testing::AssertionFailure() << "pixel " << x << "," << y << " channel " << k
                                                 << " is " << got << ", not near " << want;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST_F(CliX11Test, RecordsAMonitorAndARegionOfIt) {
    start("640x480x24", false);
    auto left = window({"--title", "left", "--color", "CC2211", "--pos", "0,0", "--size", "320x480",
                        "--override-redirect"});
    auto right = window({"--title", "right", "--color", "1122CC", "--pos", "320,0", "--size",
                         "320x480", "--override-redirect"});
    EXPECT_EQ(cli({"record", "--monitor", "0", "--max-seconds", "1", "--out",
                   (dir_ / "refused.mp4").string()})
                  .status,
              2);
    EXPECT_FALSE(fs::exists(dir_ / "refused.mp4"));

    struct Case {
        std::vector<std::string> target;
        std::uint32_t width, height;
        std::string kind;
        // Pixels of the first frame and the colour each shows.
        std::vector<std::array<std::uint32_t, 3>> probes;
    };
    const Case cases[] = {
        {{"--monitor", "0"}, 640, 480, "monitor", {{100, 240, 0xCC2211}, {540, 240, 0x1122CC}}},
        // An odd size is cut to even numbers.
        {{"--region", "300,10,101,61"}, 100, 60, "region", {{5, 30, 0xCC2211}, {80, 30, 0x1122CC}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        const fs::path file = dir_ / (c.kind + ".mp4");
        std::vector<std::string> args = {"record", "--allow-desktop", "--fps",
                                         "10",     "--max-seconds",   "1",
                                         "--out",  file.string(),     "--json"};
        args.insert(args.end(), c.target.begin(), c.target.end());
        const CommandOutput out = cli(args);
        ASSERT_EQ(out.status, 0);
        const std::string last = out.out.substr(out.out.find('\n') + 1);
        const nlohmann::json result = nlohmann::json::parse(last, nullptr, false);
        ASSERT_TRUE(result.is_object()) << out.out;
        EXPECT_EQ(result["frames"], 10);
        EXPECT_EQ(result["seconds"], 1.0);
        EXPECT_EQ(result["width"], c.width);
        EXPECT_EQ(result["height"], c.height);
        EXPECT_EQ(result["monitor"], 0);
        EXPECT_EQ(result["target"]["kind"], c.kind);
        const VideoProbe probe = probe_video(file);
        EXPECT_EQ(probe.codec, "h264");
        EXPECT_EQ(probe.frames, 10u);
        EXPECT_EQ(probe.frame_rate, "10/1");
        EXPECT_EQ(probe.width, c.width);
        EXPECT_EQ(probe.height, c.height);
        const std::string rgb = first_frame_rgb(file);
        for (const auto& [x, y, colour] : c.probes) {
            EXPECT_TRUE(near_colour(rgb, c.width, x, y, colour));
        }
    }
}

TEST_F(CliX11Test, ARecordingWithoutItsEncoderModuleFailsClearlyAndLeavesNoFile) {
    start("320x240x24", false);
    auto w = window({"--title", "backdrop", "--size", "320x240", "--override-redirect"});
    // The program alone, away from the module it loads from its own folder or
    // from the installed layout's lib/vantle.
    const fs::path lonely = dir_ / "lonely";
    fs::create_directories(lonely);
    fs::copy_file(VANTLE_CLI, lonely / "vantle-cli");
    const fs::path file = dir_ / "clip.mp4";
    const CommandOutput out = run_command(
        {"/bin/sh", "-c",
         "exec \"$0\" record --monitor 0 --allow-desktop --max-seconds 1 --out \"$1\" 2>&1",
         (lonely / "vantle-cli").string(), file.string()});
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.out, "vantle: the H.264 encoder module could not be loaded: neither " +
                           (lonely / "vantle-ffmpeg.so").string() + " nor " +
                           (dir_ / "lib" / "vantle" / "vantle-ffmpeg.so").string() + " exists\n");
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(fs::exists(dir_ / "clip.mp4.vantle-tmp"));

    // Captures need no encoder.
    EXPECT_EQ(run_command({(lonely / "vantle-cli").string(), "capture", "--monitor", "0",
                           "--allow-desktop", "--out", (dir_ / "shot.png").string()})
                  .status,
              0);
    EXPECT_TRUE(fs::exists(dir_ / "shot.png"));
}

// Decodes standard base64 (RFC 4648, padded); empty on any other character.
std::string from_base64(const std::string& text) {
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char ch : text) {
        int v = -1;
        if (ch >= 'A' && ch <= 'Z') {
            v = ch - 'A';
        } else if (ch >= 'a' && ch <= 'z') {
            v = ch - 'a' + 26;
        } else if (ch >= '0' && ch <= '9') {
            v = ch - '0' + 52;
        } else if (ch == '+') {
            v = 62;
        } else if (ch == '/') {
            v = 63;
        } else if (ch == '=') {
            break;
        } else {
            return {};
        }
        bits = bits << 6 | static_cast<std::uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

// A window that only its program paints (no background of the server's),
// 400x300, covered by another over most of it unless the case says otherwise;
// its program is stopped while the window is captured or recorded. A picture
// of it is its own, or there is none: never the covering window's blue.
struct StoppedProgramCase {
    const char* name;
    std::vector<std::string> compositing_manager;  // empty: none
    bool covered;
    std::optional<milliseconds> resume_after;  // none: never resumed
    bool expect_picture;
};

const StoppedProgramCase kStoppedProgramCases[] = {
    {"covered, resumed after 0.3 s", {}, true, milliseconds(300), true},
    {"covered, never resumed", {}, true, std::nullopt, false},
    {"fully visible, never resumed", {}, false, std::nullopt, true},
    {"covered under xcompmgr, never resumed", {"xcompmgr"}, true, std::nullopt, true},
    {"covered under picom, never resumed",
     {"picom", "--config", "/dev/null", "--backend", "xrender"},
     true,
     std::nullopt,
     true},
};

constexpr const char* kSlowTitle = "slow\tpainter";
constexpr std::uint32_t kSlowColour = 0xCC2211;
constexpr auto kDrawBound = std::chrono::seconds(1);

class StoppedProgramTest : public CliX11Test {
  protected:
    // Starts the desktop of the case, with the slow window's program stopped.
    void set_up(const StoppedProgramCase& c) {
        start("640x480x24", true);
        if (!c.compositing_manager.empty()) {
            ASSERT_TRUE(server_->start_compositing_manager(c.compositing_manager));
        }
        slow_ = window({"--title", kSlowTitle, "--no-background", "--color", "CC2211", "--pos",
                        "20,20", "--size", "400x300"});
        if (c.covered) {
            cover_ = window(
                {"--title", "cover", "--color", "1122CC", "--pos", "120,100", "--size", "400x300"});
        }
        listing_of(c.covered ? 2 : 1);
        slow_.process->signal(SIGSTOP);
        stopped_ = true;
        if (c.resume_after) {
            resumer_ = std::thread([this, after = *c.resume_after] {
                std::this_thread::sleep_for(after);
                slow_.process->signal(SIGCONT);
            });
        }
    }
    void TearDown() override {
        if (resumer_.joinable()) {
            resumer_.join();
        }
        if (stopped_ && slow_.process) {
            slow_.process->signal(SIGCONT);
        }
        stopped_ = false;
        cover_ = {};
        slow_ = {};
        server_.reset();
        CliX11Test::TearDown();
    }
    // The message of a window that did not draw itself, on one line.
    static void expect_not_drawn(const CommandOutput& out) {
        EXPECT_EQ(out.status, 1);
        EXPECT_EQ(
            out.err.rfind("vantle: the window \"slow\\tpainter\" did not draw itself in time", 0),
            0u)
            << out.err;
        EXPECT_EQ(std::count(out.err.begin(), out.err.end(), '\n'), 1) << out.err;
        EXPECT_EQ(out.out, "");
    }

    XServer::Window slow_;
    XServer::Window cover_;
    bool stopped_ = false;
    std::thread resumer_;
};

TEST_F(StoppedProgramTest, ACaptureIsTheWindowsOwnPictureOrNone) {
    for (const StoppedProgramCase& c : kStoppedProgramCases) {
        SCOPED_TRACE(c.name);
        set_up(c);
        const fs::path file = dir_ / "slow.png";
        const auto started = std::chrono::steady_clock::now();
        const CommandOutput out =
            cli({"capture", "--window", kSlowTitle, "--out", file.string(), "--json"}, true);
        const auto took = std::chrono::steady_clock::now() - started;
        if (c.expect_picture) {
            ASSERT_EQ(out.status, 0) << out.err;
            const nlohmann::json result = nlohmann::json::parse(out.out, nullptr, false);
            const auto [left, right, top, bottom] = frame_extents(slow_.id);
            EXPECT_EQ(result["width"], 400 + left + right);
            EXPECT_TRUE(all_of(png_pixels(file), 400 + left + right, left, top, 400, 300,
                               kSlowColour << 8 | 0xFF));
        } else {
            expect_not_drawn(out);
            EXPECT_LT(took, kDrawBound + std::chrono::seconds(1));
            EXPECT_FALSE(fs::exists(file));
        }
        EXPECT_FALSE(fs::exists(dir_ / "slow.png.vantle-tmp"));
        TearDown();
        fs::create_directories(dir_);
    }
}

TEST_F(StoppedProgramTest, ARecordingStartsOnlyOnTheWindowsOwnPicture) {
    for (const StoppedProgramCase& c : kStoppedProgramCases) {
        SCOPED_TRACE(c.name);
        set_up(c);
        const fs::path file = dir_ / "slow.mp4";
        const auto started = std::chrono::steady_clock::now();
        const CommandOutput out =
            cli({"record", "--window", kSlowTitle, "--max-seconds", "0.2", "--out", file.string()},
                true);
        const auto took = std::chrono::steady_clock::now() - started;
        if (c.expect_picture) {
            ASSERT_EQ(out.status, 0) << out.err;
            const auto [left, right, top, bottom] = frame_extents(slow_.id);
            const std::uint32_t width = (400 + left + right) & ~1u;
            const std::string rgb = first_frame_rgb(file);
            for (const auto& [x, y] : {std::pair{2u, 2u}, {200u, 150u}, {397u, 297u}}) {
                EXPECT_TRUE(near_colour(rgb, width, left + x, top + y, kSlowColour));
            }
        } else {
            expect_not_drawn(out);
            EXPECT_LT(took, kDrawBound + std::chrono::seconds(1));
            EXPECT_FALSE(fs::exists(file));
        }
        EXPECT_FALSE(fs::exists(dir_ / "slow.mp4.vantle-tmp"));
        TearDown();
        fs::create_directories(dir_);
    }
}

// The X server of a Wayland session (weston with XWayland) does not show the
// Wayland programs on its root window: a monitor or a region of it is refused
// as unsupported here, on one line, with nothing written.
TEST_F(CliX11Test, AWaylandSessionRefusesTheDesktop) {
    server_ = XServer::start_wayland_session();
    ASSERT_TRUE(server_);
    const std::string refusal =
        "vantle: the desktop of a Wayland session cannot be captured through X11, which sees "
        "only the windows of X11 programs; those windows can be captured with --window\n";
    const std::vector<std::vector<std::string>> desktop_commands = {
        {"capture", "--monitor", "0", "--allow-desktop", "--out", (dir_ / "m.png").string()},
        {"capture", "--region", "0,0,50,50", "--allow-desktop", "--out", (dir_ / "r.png").string()},
        {"record", "--monitor", "0", "--allow-desktop", "--max-seconds", "0.2", "--out",
         (dir_ / "m.mp4").string()},
        {"record", "--region", "0,0,50,50", "--allow-desktop", "--max-seconds", "0.2", "--out",
         (dir_ / "r.mp4").string()},
    };
    for (const auto& args : desktop_commands) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        const CommandOutput out = cli(args, true);
        EXPECT_EQ(out.status, 4);
        EXPECT_EQ(out.err, refusal);
    }
    EXPECT_TRUE(fs::is_empty(dir_));
}

// One automation session with the built program on a real X server.
class McpSession {
  public:
    McpSession() : server_(ChildProcess::start({VANTLE_CLI, "mcp"})) {}

    // Sends a request and returns its reply's "result" (null on anything else).
    nlohmann::json call(const std::string& method, const nlohmann::json& params) {
        const int id = ++last_id_;
        EXPECT_TRUE(server_->write_line(
            nlohmann::json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}
                .dump()));
        const std::optional<std::string> line = server_->read_line(std::chrono::seconds(30));
        EXPECT_TRUE(line) << method << " got no reply";
        const nlohmann::json reply = nlohmann::json::parse(line.value_or(""), nullptr, false);
        EXPECT_TRUE(reply.is_object() && reply.contains("result") && reply["id"] == id)
            << line.value_or("");
        return reply.is_object() && reply.contains("result") ? reply["result"] : nlohmann::json();
    }
    // A tools/call whose tool succeeded: its content.
    nlohmann::json tool(const std::string& name, const nlohmann::json& arguments) {
        nlohmann::json result = call("tools/call", {{"name", name}, {"arguments", arguments}});
        EXPECT_EQ(result.value("isError", true), false) << result.dump();
        return result.is_object() ? result["content"] : nlohmann::json::array();
    }
    int end() {
        server_->close_input();
        return server_->wait(std::chrono::seconds(30));
    }
    bool started() const { return server_ != nullptr; }

  private:
    std::unique_ptr<ChildProcess> server_;
    int last_id_ = 0;
};

TEST_F(CliX11Test, TheAutomationServerCapturesWithAPreviewAndRecords) {
    start("640x480x24", true);
    // No settings file: the defaults, which keep the desktop out of reach.
    ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    auto w =
        window({"--title", "served", "--color", "3366CC", "--pos", "40,40", "--size", "240x160"});
    const nlohmann::json doc = listing_of(1);
    ASSERT_EQ(doc["windows"].size(), 1u);
    McpSession session;
    ASSERT_TRUE(session.started());
    const nlohmann::json init =
        session.call("initialize", {{"protocolVersion", "2025-06-18"},
                                    {"capabilities", nlohmann::json::object()},
                                    {"clientInfo", {{"name", "x11 test"}, {"version", "1"}}}});
    EXPECT_TRUE(init.contains("serverInfo")) << init.dump();

    const fs::path shot = dir_ / "served.png";
    const nlohmann::json content =
        session.tool("capture", {{"window", "served"}, {"out", shot.string()}});
    ASSERT_EQ(content.size(), 3u) << content.dump();
    const nlohmann::json captured = nlohmann::json::parse(content[0].value("text", ""));
    const std::uint32_t width = doc["windows"][0]["width"];
    const std::uint32_t height = doc["windows"][0]["height"];
    EXPECT_EQ(captured["width"], width);
    EXPECT_EQ(captured["path"], shot.string());
    ASSERT_EQ(content[2]["type"], "image");
    EXPECT_EQ(content[2]["mimeType"], "image/png");
    const fs::path preview = dir_ / "preview.png";
    { std::ofstream(preview, std::ios::binary) << from_base64(content[2].value("data", "")); }
    // Small enough to need no scaling: the preview is the picture itself.
    EXPECT_EQ(png_pixels(preview), png_pixels(shot));
    EXPECT_EQ(png_pixels(preview).size(), std::size_t{width} * height * 4);

    const fs::path clip = dir_ / "served.mp4";
    const nlohmann::json started =
        session.tool("record_start", {{"window", "served"}, {"out", clip.string()}, {"fps", 10}});
    const nlohmann::json event = nlohmann::json::parse(started[0].value("text", "{}"));
    ASSERT_EQ(event["event"], "started") << started.dump();
    EXPECT_FALSE(fs::exists(clip)) << "the file appears only when it is complete";
    std::this_thread::sleep_for(milliseconds(700));
    const nlohmann::json stopped = session.tool("record_stop", {{"id", event["id"]}});
    const nlohmann::json recorded = nlohmann::json::parse(stopped[0].value("text", "{}"));
    ASSERT_TRUE(recorded.contains("frames")) << stopped.dump();
    EXPECT_GE(recorded["frames"].get<std::uint64_t>(), 1u);
    const VideoProbe probe = probe_video(clip);
    EXPECT_EQ(probe.codec, "h264");
    EXPECT_EQ(probe.frames, recorded["frames"].get<std::uint64_t>());
    EXPECT_EQ(probe.width, width & ~1u);
    EXPECT_EQ(probe.height, height & ~1u);
    EXPECT_FALSE(fs::exists(dir_ / "served.mp4.vantle-tmp"));
    EXPECT_EQ(session.end(), 0);
}

}  // namespace
}  // namespace vantle::x11
