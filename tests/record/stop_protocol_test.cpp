#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "record/console_control.h"
#include "record/recording_id.h"
#include "record/stop_protocol.h"

namespace vantle {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Upper bounds that a working protocol never reaches; they only keep a broken
// one from hanging the suite.
constexpr seconds kGenerous{30};

void wait_for_stop(const RecordingEvents& events) {
    while (!events.stop_requested()) {
        std::this_thread::sleep_for(milliseconds(5));
    }
}

TEST(RequestStop, AnUnknownIdIsNotRunning) {
    for (const char* id : {"999999999-1", "1-99999999999999999999",
                           // longer than any socket name: still just not running
                           "123456789012345678901234567890123456789012345678901234567890123456789"
                           "01234567890123456789012345678901234567890-1"}) {
        const auto stopped = request_stop(id, kGenerous);
        ASSERT_FALSE(stopped);
        EXPECT_EQ(stopped.error(),
                  CliError::refused(std::string("no recording ") + id + " is running"));
    }
}

TEST(RequestStop, TimesOutWhenDoneDoesNotComeAndLeavesTheStopInForce) {
    const std::string id = new_recording_id();
    auto events = create_recording_events(id);
    ASSERT_TRUE(events) << events.error().message;
    EXPECT_FALSE(events->stop_requested());
    const auto stopped = request_stop(id, milliseconds(1500));
    EXPECT_EQ(stopped, std::unexpected(CliError::failed(
                           "recording " + id +
                           " was asked to stop but has not finished its file after 1 s")));
    EXPECT_TRUE(events->stop_requested());
}

TEST(RequestStop, SucceedsAtOnceBetweenDoneAndClose) {
    const std::string id = new_recording_id();
    auto events = create_recording_events(id);
    ASSERT_TRUE(events) << events.error().message;
    events->signal_done();
    events->signal_done();  // harmless twice
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(request_stop(id, kGenerous)) << "request " << i;
    }
    EXPECT_TRUE(events->stop_requested());
}

TEST(RequestStop, EveryWaitingStopperIsAnsweredByOneDone) {
    const std::string id = new_recording_id();
    auto events = create_recording_events(id);
    ASSERT_TRUE(events) << events.error().message;
    std::vector<std::future<CliStatus>> stoppers;
    for (int i = 0; i < 3; ++i) {
        stoppers.push_back(
            std::async(std::launch::async, [&] { return request_stop(id, kGenerous); }));
    }
    wait_for_stop(*events);
    events->signal_done();
    for (auto& stopper : stoppers) {
        EXPECT_TRUE(stopper.get());
    }
}

TEST(RequestStop, ARecordingThatClosedIsNoLongerRunning) {
    const std::string id = new_recording_id();
    {
        auto events = create_recording_events(id);
        ASSERT_TRUE(events);
        events->signal_done();
    }
    EXPECT_EQ(request_stop(id, kGenerous),
              std::unexpected(CliError::refused("no recording " + id + " is running")));
}

TEST(StopChecks, CombineTheFlagsWithTheStopRequest) {
    const std::string id = new_recording_id();
    auto events = create_recording_events(id);
    ASSERT_TRUE(events);
    auto flag = std::make_shared<std::atomic<bool>>(false);
    const StopCheck automation = automation_stop_check(flag, *events);
    EXPECT_FALSE(automation());
    flag->store(true);
    EXPECT_TRUE(automation());

    const StopCheck command_line = command_line_stop_check(*events);
    EXPECT_FALSE(command_line());  // no interrupt in this process
    auto stopper = std::async(std::launch::async, [&] { return request_stop(id, kGenerous); });
    wait_for_stop(*events);
    EXPECT_TRUE(command_line());
    events->signal_done();
    EXPECT_TRUE(stopper.get());
}

using ConsoleControlDeathTest = ::testing::Test;

TEST(ConsoleControlDeathTest, ConsoleEventsSetTheFlagAndACloseWaitsForTheFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Each case in a process of its own, since the flags are never cleared.
    const auto exit_code = [](auto&& body) { return [body] { ::_exit(body()); }; };
    EXPECT_EXIT(exit_code([] {
                    int sleeps = 0;
                    const bool handled = handle_console_event(0, [&](milliseconds) { ++sleeps; });
                    return handled && interrupt_requested() && sleeps == 0 ? 0 : 1;
                })(),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(exit_code([] {
                    const bool handled = handle_console_event(1, [](milliseconds) {});
                    return handled && interrupt_requested() ? 0 : 1;
                })(),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(exit_code([] {
                    milliseconds waited{0};
                    const bool handled =
                        handle_console_event(2, [&](milliseconds step) { waited += step; });
                    return handled && interrupt_requested() && waited == milliseconds(4500) ? 0 : 1;
                })(),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(exit_code([] {
                    int sleeps = 0;
                    const bool handled = handle_console_event(2, [&](milliseconds) {
                        if (++sleeps == 3) {
                            set_recording_finished();
                        }
                    });
                    return handled && sleeps == 3 ? 0 : 1;
                })(),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(exit_code([] {
                    const bool handled = handle_console_event(5, [](milliseconds) {});
                    return !handled && !interrupt_requested() ? 0 : 1;
                })(),
                ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vantle
