#include "support/sleep.h"

#include <chrono>
#include <thread>

namespace vantle {

void sleep_milliseconds(std::uint64_t milliseconds) {
    const auto seconds = static_cast<std::int64_t>(milliseconds / 1000);
    if (seconds > 0) {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    }
    const auto rest = static_cast<std::int64_t>(milliseconds % 1000);
    if (rest > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(rest));
    }
}

}  // namespace vantle
