#include <gtest/gtest.h>

#include "platform/restore_wait.h"

namespace vantle {
namespace {

// A clock that moves only when the wait sleeps.
struct FakeClock {
    std::chrono::steady_clock::time_point now{};
    int sleeps = 0;
    RestoreClock clock() {
        return {[this] { return now; },
                [this](std::chrono::milliseconds pause) {
                    ++sleeps;
                    now += pause;
                }};
    }
};

TEST(WaitUntilRestored, ReturnsAtOnceForAWindowThatIsNotMinimized) {
    FakeClock clock;
    EXPECT_TRUE(wait_until_restored(
        "w", [] { return false; }, clock.clock()));
    EXPECT_EQ(clock.sleeps, 0);
}

TEST(WaitUntilRestored, ReturnsOnceTheWindowComesBack) {
    FakeClock clock;
    int polls = 0;
    EXPECT_TRUE(wait_until_restored(
        "w", [&] { return ++polls < 4; }, clock.clock()));
    EXPECT_EQ(clock.sleeps, 3);
}

TEST(WaitUntilRestored, GivesUpJustAfterTwoSecondsNamingTheWindow) {
    FakeClock clock;
    const auto start = clock.now;
    const CliStatus status = wait_until_restored(
        "Untitled - Notepad", [] { return true; }, clock.clock());
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error(), CliError::failed("\"Untitled - Notepad\" would not restore"));
    EXPECT_GT(clock.now - start, kRestoreLimit);
    EXPECT_LE(clock.now - start, kRestoreLimit + kRestorePoll);
    EXPECT_EQ(clock.sleeps, 81);
}

}  // namespace
}  // namespace vantle
