#pragma once

#include <chrono>
#include <functional>

namespace vantle {

// The pacing clock of a recording. Every offset is measured from one start
// instant, so a late tick is followed by ticks on the planned schedule instead
// of pushing the whole schedule back.
class FrameClock {
  public:
    virtual ~FrameClock() = default;
    // Returns once `offset` has elapsed since the start instant; at once when it
    // already has. Never fails. Tells how far past `offset` the call came (zero
    // when it had to sleep), which is how a recording learns it fell behind.
    virtual std::chrono::nanoseconds sleep_until(std::chrono::nanoseconds offset) = 0;
};

// The clock of real recordings: a start instant on a monotonic clock and a
// sleep of the difference. The time source and the sleep can be replaced, so
// the schedule is testable without waiting.
class MonotonicFrameClock final : public FrameClock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Now = std::function<TimePoint()>;
    using SleepFor = std::function<void(std::chrono::nanoseconds)>;

    // Starts the schedule now, on the steady clock.
    MonotonicFrameClock();
    MonotonicFrameClock(TimePoint start, Now now, SleepFor sleep_for);

    std::chrono::nanoseconds sleep_until(std::chrono::nanoseconds offset) override;

  private:
    TimePoint start_;
    Now now_;
    SleepFor sleep_for_;
};

}  // namespace vantle
