#include <array>
#include <cstdlib>

#include "support/png_filter.h"

namespace vantle::png_filter {
namespace {

constexpr std::size_t kPixelBytes = 4;

std::uint8_t paeth_predictor(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) {
        return static_cast<std::uint8_t>(a);
    }
    return static_cast<std::uint8_t>(pb <= pc ? b : c);
}

// The filtered byte of `x` under each filter, from its left (a), upper (b) and
// upper-left (c) neighbours.
std::array<std::uint8_t, 5> residuals(int x, int a, int b, int c) {
    return {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x - a),
            static_cast<std::uint8_t>(x - b), static_cast<std::uint8_t>(x - ((a + b) >> 1)),
            static_cast<std::uint8_t>(x - paeth_predictor(a, b, c))};
}

std::uint32_t signed_magnitude(std::uint8_t v) {
    return v < 128 ? v : 256u - v;
}

}  // namespace

void filter_row_portable(std::span<const std::uint8_t> prev, std::span<const std::uint8_t> cur,
                         std::span<std::uint8_t> out) {
    const std::size_t stride = cur.size();
    auto neighbours = [&](std::size_t i) {
        const bool first = i < kPixelBytes;
        return residuals(cur[i], first ? 0 : cur[i - kPixelBytes], prev[i],
                         first ? 0 : prev[i - kPixelBytes]);
    };

    std::array<std::uint64_t, 5> sums{};
    for (std::size_t i = 0; i < stride; ++i) {
        const std::array<std::uint8_t, 5> r = neighbours(i);
        for (std::size_t f = 0; f < r.size(); ++f) {
            sums[f] += signed_magnitude(r[f]);
        }
    }
    std::size_t best = 0;
    for (std::size_t f = 1; f < sums.size(); ++f) {
        if (sums[f] < sums[best]) {
            best = f;
        }
    }

    out[0] = static_cast<std::uint8_t>(best);
    for (std::size_t i = 0; i < stride; ++i) {
        out[i + 1] = neighbours(i)[best];
    }
}

}  // namespace vantle::png_filter
