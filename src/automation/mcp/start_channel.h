#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace vantle::mcp {

// How long record_start waits for a recording's first frame before giving up.
inline constexpr std::chrono::milliseconds kStartWait{15'000};

// What a recording thread tells the record_start call that waits for it.
struct StartSignal {
    bool started = false;
    std::string message;  // why it failed, when not started
};

// A one-way channel from a recording thread to record_start. The waiting side
// can tell a closed channel (the thread ended without a word) from a time-out.
class StartChannel {
  public:
    enum class Wait { kSignal, kClosed, kTimedOut };

    // Queues a signal; false once the receiver has gone.
    bool send(StartSignal signal) {
        const std::lock_guard lock(mutex_);
        if (receiver_gone_) {
            return false;
        }
        signals_.push_back(std::move(signal));
        changed_.notify_all();
        return true;
    }

    // The sender's last act: the thread will send nothing more.
    void close_sender() {
        const std::lock_guard lock(mutex_);
        sender_closed_ = true;
        changed_.notify_all();
    }

    // Waits up to `timeout` for the first signal.
    Wait receive(std::chrono::milliseconds timeout, StartSignal& signal) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return !signals_.empty() || sender_closed_; });
        if (!signals_.empty()) {
            signal = std::move(signals_.front());
            signals_.pop_front();
            return Wait::kSignal;
        }
        return sender_closed_ ? Wait::kClosed : Wait::kTimedOut;
    }

    // The receiver stops listening; later sends fail.
    void close_receiver() {
        const std::lock_guard lock(mutex_);
        receiver_gone_ = true;
        signals_.clear();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<StartSignal> signals_;
    bool sender_closed_ = false;
    bool receiver_gone_ = false;
};

}  // namespace vantle::mcp

namespace vantle::mcp {

// How record_start waits on a channel; the server holds one so tests can reach
// the time-out without sitting through it.
using StartWait = std::function<StartChannel::Wait(StartChannel&, StartSignal&)>;

[[nodiscard]] inline StartChannel::Wait wait_for_start(StartChannel& channel, StartSignal& signal) {
    return channel.receive(kStartWait, signal);
}

}  // namespace vantle::mcp
