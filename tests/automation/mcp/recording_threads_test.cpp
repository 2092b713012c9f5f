#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "automation/mcp/server.h"
#include "automation/mcp/start_channel.h"
#include "automation/mcp/tools.h"
#include "fakes/fake_platform.h"
#include "fakes/fake_recording.h"
#include "fakes/temp_directory.h"
#include "support/logger.h"
#include "support/paths.h"
#include "support/writer.h"

namespace vantle {
namespace {

namespace fs = std::filesystem;
using mcp::StartChannel;
using mcp::StartSignal;
using nlohmann::json;

constexpr std::chrono::hours kForever{1};

class EmptyInput final : public Reader {
  public:
    std::ptrdiff_t read(std::span<char> /*buffer*/) override { return 0; }
};

TEST(StartChannel, TellsATimeOutFromAClosedChannel) {
    StartChannel quiet;
    StartSignal signal;
    EXPECT_EQ(quiet.receive(std::chrono::milliseconds(0), signal), StartChannel::Wait::kTimedOut);

    // A wait far longer than any test must end as soon as the sender is gone.
    StartChannel closing;
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        closing.close_sender();
    });
    EXPECT_EQ(closing.receive(kForever, signal), StartChannel::Wait::kClosed);
    sender.join();
}

TEST(StartChannel, ASignalSentBeforeTheSenderEndsIsStillDelivered) {
    StartChannel channel;
    ASSERT_TRUE(channel.send(StartSignal{false, "the window closed"}));
    channel.close_sender();
    StartSignal signal;
    EXPECT_EQ(channel.receive(kForever, signal), StartChannel::Wait::kSignal);
    EXPECT_FALSE(signal.started);
    EXPECT_EQ(signal.message, "the window closed");
}

TEST(StartChannel, SendsFailOnceTheReceiverHasGone) {
    StartChannel channel;
    channel.close_receiver();
    EXPECT_FALSE(channel.send(StartSignal{true, {}}));
}

// A server on the standard fake desktop whose recordings show a picture at
// once and write stand-in files into a private folder.
class RecordingThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = testing::make_temp_directory("vantle-mcp-threads");
        platform_ = testing::make_standard_desktop();
        log_ = std::make_shared<testing::RecordingLog>();
        source_.first = testing::solid_frame(64, 48, 0xFF102030);
        encoder_.keep_pixels = false;
        testing::script_recordings(*platform_, source_, encoder_, log_, true);
        server_ = std::make_unique<McpServer>(platform_, default_config);
    }
    void TearDown() override {
        server_.reset();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    json start(const std::string& name) {
        return mcp::record_start(
            *server_, {{"window", "Untitled - Notepad"}, {"out", path_to_utf8(folder_ / name)}});
    }

    [[nodiscard]] std::size_t finishes() const {
        const auto events = log_->snapshot_events();
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), "finish"));
    }

    fs::path folder_;
    testing::ScriptedFrameSource::Script source_;
    testing::RecordingEncoder::Script encoder_;
    std::shared_ptr<testing::FakePlatform> platform_;
    std::shared_ptr<testing::RecordingLog> log_;
    std::unique_ptr<McpServer> server_;
};

json error_result(const std::string& message) {
    return {{"content", json::array({{{"text", message}, {"type", "text"}}})}, {"isError", true}};
}

TEST_F(RecordingThreads, AThreadThatEndsWithoutAWordEndsTheWaitAtOnce) {
    platform_->make_source = [](const RecordTarget&,
                                bool) -> CliResult<std::unique_ptr<FrameSource>> {
        throw std::runtime_error("the source blew up");
    };
    std::vector<StartChannel::Wait> waits;
    server_->start_wait = [&](StartChannel& channel, StartSignal& signal) {
        waits.push_back(channel.receive(kForever, signal));
        return waits.back();
    };
    EXPECT_EQ(start("a.mp4"), error_result("the recording did not start"));
    EXPECT_EQ(waits, std::vector{StartChannel::Wait::kClosed});
    EXPECT_TRUE(server_->recordings.empty());
    EXPECT_FALSE(fs::exists(folder_ / "a.mp4"));
}

TEST_F(RecordingThreads, ARecordingThatStartsAfterTheTimeOutIsStoppedAndLeavesItsShortFile) {
    // The wait hears the start but reports it too late, as after 15 seconds.
    server_->start_wait = [](StartChannel& channel, StartSignal& signal) {
        (void)channel.receive(kForever, signal);
        return StartChannel::Wait::kTimedOut;
    };
    EXPECT_EQ(start("late.mp4"), error_result("the recording did not start"));
    EXPECT_TRUE(server_->recordings.empty());
    EXPECT_EQ(finishes(), 1u);  // joined, so the file was finished before the reply
    EXPECT_TRUE(fs::exists(folder_ / "late.mp4"));
    EXPECT_FALSE(fs::exists(folder_ / "late.mp4.vantle-tmp"));
}

TEST_F(RecordingThreads, ATimedOutRecordingThatFailsReportsItsOwnError) {
    source_.first = nullptr;
    server_->start_wait = [](StartChannel&, StartSignal&) { return StartChannel::Wait::kTimedOut; };
    EXPECT_EQ(start("none.mp4"),
              error_result("no frame arrived within 3 seconds; nothing was recorded"));
    EXPECT_TRUE(server_->recordings.empty());
    EXPECT_FALSE(fs::exists(folder_ / "none.mp4"));
}

TEST_F(RecordingThreads, TheEndOfTheInputStopsAndJoinsEveryRecording) {
    ASSERT_FALSE(start("one.mp4")["isError"].get<bool>());
    ASSERT_FALSE(start("two.mp4")["isError"].get<bool>());
    ASSERT_EQ(server_->recordings.size(), 2u);

    EmptyInput nothing;
    StringWriter output;
    EXPECT_EQ(server_->serve(nothing, output), 0);
    EXPECT_EQ(output.text(), "");
    EXPECT_TRUE(server_->recordings.empty());
    EXPECT_EQ(finishes(), 2u);
    EXPECT_TRUE(fs::exists(folder_ / "one.mp4"));
    EXPECT_TRUE(fs::exists(folder_ / "two.mp4"));
}

// The server's recordings fall behind as the command line's do, and say so the
// same way: on the server's standard error, while record_stop's reply stays
// the outcome alone.
TEST_F(RecordingThreads, ARecordingThatFellBehindWarnsOnceAndStopsWithItsUsualResult) {
    server_->make_frame_clock = [] {
        auto clock = std::make_unique<testing::FakeFrameClock>();
        clock->on_sleep = [raw = clock.get()](std::chrono::nanoseconds) {
            raw->now += std::chrono::milliseconds(50);  // every tick's work overruns its period
        };
        return clock;
    };
    StringWriter warnings;
    set_log_sink_for_testing(&warnings);
    const json started = mcp::record_start(*server_, {{"window", "Untitled - Notepad"},
                                                      {"out", path_to_utf8(folder_ / "slow.mp4")},
                                                      {"max_seconds", 2}});
    ASSERT_FALSE(started["isError"].get<bool>()) << started.dump();
    const std::string id = json::parse(started["content"][0]["text"].get<std::string>())["id"];
    // Its limit ends it (a stop would cut it short): wait for its file to be finished.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (finishes() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const json stopped = mcp::record_stop(*server_, {{"id", id}});
    set_log_sink_for_testing(nullptr);

    ASSERT_FALSE(stopped["isError"].get<bool>()) << stopped.dump();
    ASSERT_EQ(stopped["content"].size(), 1u);
    const json result = json::parse(stopped["content"][0]["text"].get<std::string>());
    EXPECT_EQ(result["frames"], 60);
    EXPECT_EQ(result["seconds"], 2.0);
    EXPECT_EQ(warnings.text(),
              "vantle: WARN: the recording fell behind: 30 of the 30 frames after its first second "
              "(100%) were taken late, by up to 1.0 s; its 2.0 s of video took 3.0 s to record, so "
              "it plays 1.49 times as fast as it happened\n");
}

TEST_F(RecordingThreads, ADestroyedServerFinishesItsRecordings) {
    ASSERT_FALSE(start("left.mp4")["isError"].get<bool>());
    server_.reset();
    EXPECT_EQ(finishes(), 1u);
    EXPECT_TRUE(fs::exists(folder_ / "left.mp4"));
}

}  // namespace
}  // namespace vantle
