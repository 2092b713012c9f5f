// The built vantle-cli on a private X server.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "x11/process_output.h"
#include "x11/x_server.h"

namespace vantle::x11 {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

CommandOutput cli(std::vector<std::string> args) {
    args.insert(args.begin(), VANTLE_CLI);
    return run_command(args);
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

TEST_F(CliX11Test, CapturesACoveredWindowAsItsOwnColour) {
    start("640x480x24", true);
    auto covered =
        window({"--title", "covered", "--color", "CC2211", "--pos", "20,20", "--size", "200x120"});
    auto cover =
        window({"--title", "cover", "--color", "1122CC", "--pos", "60,40", "--size", "300x200"});
    listing_of(2);
    const fs::path file = dir_ / "covered.png";
    const CommandOutput out = cli({"capture", "--window", "covered", "--out", file.string()});
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.out, file.string() + "\n");
    const std::string rgba = png_pixels(file);
    ASSERT_EQ(rgba.size(), std::size_t{200} * 120 * 4);
    for (std::size_t i = 0; i < rgba.size(); i += 4) {
        ASSERT_EQ(static_cast<unsigned char>(rgba[i]), 0xCC) << "pixel " << i / 4;
        ASSERT_EQ(static_cast<unsigned char>(rgba[i + 1]), 0x22) << "pixel " << i / 4;
        ASSERT_EQ(static_cast<unsigned char>(rgba[i + 2]), 0x11) << "pixel " << i / 4;
    }
}

TEST_F(CliX11Test, RecordsAWindowForTwoSecondsAsSixtyFramesOfH264) {
    start("640x480x24", true);
    auto w = window({"--title", "recorded", "--color", "22AA44", "--size", "201x151"});
    listing_of(1);
    const fs::path file = dir_ / "rec.mp4";
    const CommandOutput out = cli(
        {"record", "--window", "recorded", "--max-seconds", "2", "--out", file.string(), "--json"});
    ASSERT_EQ(out.status, 0);
    EXPECT_NE(out.out.find("\"frames\":60"), std::string::npos) << out.out;
    const VideoProbe probe = probe_video(file);
    EXPECT_EQ(probe.codec, "h264");
    EXPECT_EQ(probe.frames, 60u);
    EXPECT_EQ(probe.frame_rate, "30/1");
    EXPECT_EQ(probe.width, 200u);
    EXPECT_EQ(probe.height, 150u);
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

}  // namespace
}  // namespace vantle::x11
