#pragma once

#include <cstdint>

namespace vantle::bench {

// A fixed stream of pseudo-random numbers (xorshift), so that every run
// measures the same pictures.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<std::uint32_t>(state_ >> 32);
    }

  private:
    std::uint64_t state_;
};

}  // namespace vantle::bench
