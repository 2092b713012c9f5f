#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "record/frame.h"

namespace vantle {

// The hand-over point between a capture's delivery thread and the frame loop:
// it holds only the newest picture, so a loop that falls behind skips pictures
// instead of queueing them. A system's FrameSource owns one, has its capture
// callbacks call `publish` and `end`, and forwards its three FrameSource members
// to `latest`, `has_ended` and `wait_first_frame`. Every member is safe to call
// from any thread; none holds the lock for longer than a handle copy.
class LatestFrameSlot {
  public:
    // Replaces the held picture. A null handle is ignored, so a failed delivery
    // never hides the previous picture. Wakes `wait_first_frame`.
    void publish(FrameHandle frame);
    // Marks the captured item as gone (a window closed). Permanent. Wakes
    // `wait_first_frame`; a picture published before stays readable.
    void end();

    // The newest picture, or null before the first one.
    [[nodiscard]] FrameHandle latest() const;
    [[nodiscard]] bool has_ended() const;
    // Blocks until a picture is present (returned, even when the source has
    // ended since), the source has ended without one (null) or `timeout` has
    // passed (null). Spurious wake-ups are absorbed against a steady deadline.
    [[nodiscard]] FrameHandle wait_first_frame(std::chrono::milliseconds timeout) const;

    // What a source that copies on demand paces itself by: whether the newest
    // picture has been handed out by `latest` (true while there is none), and
    // when `latest` was called the last two times (the epoch before that).
    struct Demand {
        bool taken = true;
        std::chrono::steady_clock::time_point last;
        std::chrono::steady_clock::time_point previous;
    };
    [[nodiscard]] Demand demand() const;
    // Blocks until the newest picture has been handed out or `deadline` passes.
    void wait_taken(std::chrono::steady_clock::time_point deadline) const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    FrameHandle frame_;
    bool ended_ = false;
    mutable bool taken_ = false;
    mutable std::chrono::steady_clock::time_point last_call_;
    mutable std::chrono::steady_clock::time_point previous_call_;
};

}  // namespace vantle
