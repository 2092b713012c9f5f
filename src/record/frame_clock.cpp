#include "record/frame_clock.h"

#include <thread>
#include <utility>

namespace vantle {

MonotonicFrameClock::MonotonicFrameClock()
    : MonotonicFrameClock(
          std::chrono::steady_clock::now(), [] { return std::chrono::steady_clock::now(); },
          [](std::chrono::nanoseconds d) { std::this_thread::sleep_for(d); }) {}

MonotonicFrameClock::MonotonicFrameClock(TimePoint start, Now now, SleepFor sleep_for)
    : start_(start), now_(std::move(now)), sleep_for_(std::move(sleep_for)) {}

std::chrono::nanoseconds MonotonicFrameClock::sleep_until(std::chrono::nanoseconds offset) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now_() - start_);
    if (elapsed < offset) {
        sleep_for_(offset - elapsed);
        return std::chrono::nanoseconds::zero();
    }
    return elapsed - offset;
}

}  // namespace vantle
