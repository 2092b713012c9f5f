#include "record/console_control.h"

#include <atomic>

namespace vantle {

namespace {

// Set from a signal handler or the console's own thread: they must be lock-free.
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<bool> interrupt_flag{false};
std::atomic<bool> finished_flag{false};

constexpr std::uint32_t kCtrlC = 0;
constexpr std::uint32_t kCtrlBreak = 1;
constexpr std::uint32_t kCtrlClose = 2;
constexpr int kCloseWaitSteps = 45;
constexpr std::chrono::milliseconds kCloseWaitStep{100};

}  // namespace

bool interrupt_requested() {
    return interrupt_flag.load(std::memory_order_relaxed);
}

void request_interrupt() {
    interrupt_flag.store(true, std::memory_order_relaxed);
}

bool recording_finished() {
    return finished_flag.load(std::memory_order_relaxed);
}

void set_recording_finished() {
    finished_flag.store(true, std::memory_order_relaxed);
}

bool handle_console_event(std::uint32_t event,
                          const std::function<void(std::chrono::milliseconds)>& sleep) {
    switch (event) {
        case kCtrlC:
        case kCtrlBreak:
            request_interrupt();
            return true;
        case kCtrlClose:
            request_interrupt();
            for (int step = 0; step < kCloseWaitSteps && !recording_finished(); ++step) {
                sleep(kCloseWaitStep);
            }
            return true;
        default:
            return false;
    }
}

}  // namespace vantle
