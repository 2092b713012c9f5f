#include "record/latest_frame_slot.h"

#include <utility>

namespace vantle {

void LatestFrameSlot::publish(FrameHandle frame) {
    if (!frame) {
        return;
    }
    FrameHandle previous;
    {
        const std::lock_guard lock(mutex_);
        previous = std::exchange(frame_, std::move(frame));
        taken_ = false;
    }
    changed_.notify_all();
    // `previous` may be the last handle of a large picture: free it outside the lock.
}

void LatestFrameSlot::end() {
    {
        const std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

FrameHandle LatestFrameSlot::latest() const {
    const auto now = std::chrono::steady_clock::now();
    bool newly_taken = false;
    FrameHandle frame;
    {
        const std::lock_guard lock(mutex_);
        previous_call_ = std::exchange(last_call_, now);
        newly_taken = frame_ != nullptr && !taken_;
        taken_ = true;
        frame = frame_;
    }
    if (newly_taken) {
        changed_.notify_all();
    }
    return frame;
}

LatestFrameSlot::Demand LatestFrameSlot::demand() const {
    const std::lock_guard lock(mutex_);
    return {frame_ == nullptr || taken_, last_call_, previous_call_};
}

void LatestFrameSlot::wait_taken(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return frame_ == nullptr || taken_; });
}

bool LatestFrameSlot::has_ended() const {
    const std::lock_guard lock(mutex_);
    return ended_;
}

FrameHandle LatestFrameSlot::wait_first_frame(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return frame_ != nullptr || ended_; });
    return frame_;
}

}  // namespace vantle
