#include "record/recording_id.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "record/process_id.h"

namespace vantle {

namespace {

std::atomic<std::uint64_t> recording_counter{0};

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

RecordingId new_recording_id() {
    const std::uint64_t n = recording_counter.fetch_add(1, std::memory_order_relaxed) + 1;
    return std::to_string(current_process_id()) + "-" + std::to_string(n);
}

bool is_recording_id(std::string_view text) {
    const auto dash = text.find('-');
    if (dash == std::string_view::npos) {
        return false;
    }
    return all_digits(text.substr(0, dash)) && all_digits(text.substr(dash + 1));
}

}  // namespace vantle
