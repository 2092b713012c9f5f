#include <gtest/gtest.h>

#include "record/frame_clock.h"

namespace vantle {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A clock on simulated time: only sleeping and the test move "now" forward.
struct SimulatedTime {
    MonotonicFrameClock::TimePoint now{};
    std::vector<nanoseconds> sleeps;

    MonotonicFrameClock clock() {
        return MonotonicFrameClock(
            now, [this] { return now; },
            [this](nanoseconds d) {
                sleeps.push_back(d);
                now += d;
            });
    }
};

TEST(MonotonicFrameClock, CatchesUpBackToBackAfterASlowStartThenKeepsTheSchedule) {
    SimulatedTime time;
    MonotonicFrameClock clock = time.clock();
    time.now += milliseconds(100);  // setup took three ticks' worth at 30 fps
    const nanoseconds period(33'333'333);
    std::vector<nanoseconds> late;
    for (int i = 1; i <= 5; ++i) {
        late.push_back(clock.sleep_until(i * period));
    }
    // Ticks 1 to 3 were already due; tick 4 waits for its slot; tick 5 waits a full period.
    EXPECT_EQ(time.sleeps, (std::vector<nanoseconds>{4 * period - milliseconds(100), period}));
    EXPECT_EQ(late, (std::vector<nanoseconds>{
                        milliseconds(100) - period, milliseconds(100) - 2 * period,
                        milliseconds(100) - 3 * period, nanoseconds(0), nanoseconds(0)}));
}

TEST(MonotonicFrameClock, ALateTickDoesNotPushTheFollowingTicksBack) {
    SimulatedTime time;
    MonotonicFrameClock clock = time.clock();
    const nanoseconds period(10'000'000);
    clock.sleep_until(period);      // on time
    time.now += milliseconds(25);   // this tick's work overran by 1.5 periods
    clock.sleep_until(2 * period);  // 35 ms elapsed: already due
    clock.sleep_until(3 * period);  // still due
    clock.sleep_until(4 * period);  // back on the grid: sleeps 5 ms
    EXPECT_EQ(time.sleeps, (std::vector<nanoseconds>{period, milliseconds(5)}));
    EXPECT_EQ(time.now - MonotonicFrameClock::TimePoint{}, 4 * period);
}

}  // namespace
}  // namespace vantle
