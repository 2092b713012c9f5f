// The built vantle-cli on a private X server.
#include <gtest/gtest.h>
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

}  // namespace
}  // namespace vantle::x11
