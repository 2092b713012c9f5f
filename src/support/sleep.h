#pragma once

#include <cstdint>
#include <functional>

namespace vantle {

// How an operation waits; tests pass one that only notes the request.
using Sleeper = std::function<void(std::uint64_t milliseconds)>;

// Really sleeps for `milliseconds` (any 64-bit value: the whole seconds and the
// rest are slept separately, so no duration type overflows).
void sleep_milliseconds(std::uint64_t milliseconds);

}  // namespace vantle
