#pragma once

#include <chrono>
#include <utility>

namespace vantle::testing {

// A wait that must return at once is given a generous timeout, so that a slow
// machine never fails it, and is then held to this bound: a wait that ran out
// its timeout instead of returning would otherwise pass unnoticed.
inline constexpr std::chrono::milliseconds kAtOnce{1000};

// What `call` returned and how long it took.
template <class Call>
auto timed(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    auto result = std::forward<Call>(call)();
    return std::pair{std::move(result), std::chrono::steady_clock::now() - start};
}

}  // namespace vantle::testing
