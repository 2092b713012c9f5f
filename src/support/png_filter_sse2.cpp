// Compiled only where SSE2 is part of the base instruction set (x86-64).
#include <emmintrin.h>

#include <array>
#include <cstdlib>

#include "support/png_filter.h"

namespace vantle::png_filter {
namespace {

constexpr std::size_t kPixelBytes = 4;
constexpr std::size_t kLanes = 16;

__m128i load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

void store(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Per byte lane, the sum of |int8| over 8-lane halves: min(v, -v) as unsigned is
// the magnitude of v read as signed, and psadbw adds eight of them into 64 bits.
__m128i magnitude_sums(__m128i r) {
    const __m128i zero = _mm_setzero_si128();
    return _mm_sad_epu8(_mm_min_epu8(r, _mm_sub_epi8(zero, r)), zero);
}

// floor((a + b) / 2): pavgb rounds up, so take back the carried half.
__m128i average_predictor(__m128i a, __m128i b) {
    return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

__m128i abs16(__m128i v) {
    return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v));
}

// The Paeth predictor of 16 bytes, computed in 16-bit halves because
// |a + b - 2c| reaches 510.
__m128i paeth_predictor(__m128i a, __m128i b, __m128i c) {
    const __m128i zero = _mm_setzero_si128();
    auto masks = [&](__m128i a16, __m128i b16, __m128i c16, __m128i& not_a, __m128i& not_b) {
        const __m128i up = _mm_sub_epi16(b16, c16);
        const __m128i left = _mm_sub_epi16(a16, c16);
        const __m128i pa = abs16(up);
        const __m128i pb = abs16(left);
        const __m128i pc = abs16(_mm_add_epi16(up, left));
        not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        not_b = _mm_cmpgt_epi16(pb, pc);
    };
    __m128i not_a_lo, not_b_lo, not_a_hi, not_b_hi;
    masks(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(c, zero),
          not_a_lo, not_b_lo);
    masks(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(c, zero),
          not_a_hi, not_b_hi);
    const __m128i not_a = _mm_packs_epi16(not_a_lo, not_a_hi);
    const __m128i not_b = _mm_packs_epi16(not_b_lo, not_b_hi);
    const __m128i b_or_c = _mm_or_si128(_mm_and_si128(not_b, c), _mm_andnot_si128(not_b, b));
    return _mm_or_si128(_mm_and_si128(not_a, b_or_c), _mm_andnot_si128(not_a, a));
}

int paeth_predictor(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) {
        return a;
    }
    return pb <= pc ? b : c;
}

std::uint8_t residual(FilterType filter, int x, int a, int b, int c) {
    switch (filter) {
        case FilterType::kNone:
            return static_cast<std::uint8_t>(x);
        case FilterType::kSub:
            return static_cast<std::uint8_t>(x - a);
        case FilterType::kUp:
            return static_cast<std::uint8_t>(x - b);
        case FilterType::kAverage:
            return static_cast<std::uint8_t>(x - ((a + b) >> 1));
        case FilterType::kPaeth:
            return static_cast<std::uint8_t>(x - paeth_predictor(a, b, c));
    }
    return 0;
}

template <FilterType kFilter>
__m128i residual(__m128i x, __m128i a, __m128i b, __m128i c) {
    if constexpr (kFilter == FilterType::kNone) {
        return x;
    } else if constexpr (kFilter == FilterType::kSub) {
        return _mm_sub_epi8(x, a);
    } else if constexpr (kFilter == FilterType::kUp) {
        return _mm_sub_epi8(x, b);
    } else if constexpr (kFilter == FilterType::kAverage) {
        return _mm_sub_epi8(x, average_predictor(a, b));
    } else {
        return _mm_sub_epi8(x, paeth_predictor(a, b, c));
    }
}

constexpr std::array<FilterType, 5> kFilters = {
    FilterType::kNone, FilterType::kSub, FilterType::kUp, FilterType::kAverage, FilterType::kPaeth};

std::uint32_t signed_magnitude(std::uint8_t v) {
    return v < 128 ? v : 256u - v;
}

// The scalar edges of a row: the first pixel, whose left neighbours are zero,
// and the bytes after the last whole 16-byte block.
template <typename Visit>
void visit_scalar(const std::uint8_t* prev, const std::uint8_t* cur, std::size_t begin,
                  std::size_t end, Visit visit) {
    for (std::size_t i = begin; i < end; ++i) {
        const bool first = i < kPixelBytes;
        visit(i, cur[i], first ? 0 : cur[i - kPixelBytes], prev[i],
              first ? 0 : prev[i - kPixelBytes]);
    }
}

// The whole-block part of a row runs from the second pixel, so that every load
// of a left neighbour stays inside the row.
std::size_t block_end(std::size_t stride) {
    return kPixelBytes + (stride - kPixelBytes) / kLanes * kLanes;
}

std::array<std::uint64_t, 5> filter_sums(const std::uint8_t* prev, const std::uint8_t* cur,
                                         std::size_t stride) {
    std::array<std::uint64_t, 5> sums{};
    auto add_scalar = [&](std::size_t, int x, int a, int b, int c) {
        for (std::size_t f = 0; f < kFilters.size(); ++f) {
            sums[f] += signed_magnitude(residual(kFilters[f], x, a, b, c));
        }
    };
    visit_scalar(prev, cur, 0, kPixelBytes, add_scalar);

    const std::size_t end = block_end(stride);
    __m128i none = _mm_setzero_si128();
    __m128i sub = none, up = none, average = none, paeth = none;
    for (std::size_t i = kPixelBytes; i < end; i += kLanes) {
        const __m128i x = load(cur + i);
        const __m128i a = load(cur + i - kPixelBytes);
        const __m128i b = load(prev + i);
        const __m128i c = load(prev + i - kPixelBytes);
        none = _mm_add_epi64(none, magnitude_sums(residual<FilterType::kNone>(x, a, b, c)));
        sub = _mm_add_epi64(sub, magnitude_sums(residual<FilterType::kSub>(x, a, b, c)));
        up = _mm_add_epi64(up, magnitude_sums(residual<FilterType::kUp>(x, a, b, c)));
        average =
            _mm_add_epi64(average, magnitude_sums(residual<FilterType::kAverage>(x, a, b, c)));
        paeth = _mm_add_epi64(paeth, magnitude_sums(residual<FilterType::kPaeth>(x, a, b, c)));
    }
    const __m128i lanes[] = {none, sub, up, average, paeth};
    for (std::size_t f = 0; f < sums.size(); ++f) {
        alignas(16) std::array<std::uint64_t, 2> halves;
        _mm_store_si128(reinterpret_cast<__m128i*>(halves.data()), lanes[f]);
        sums[f] += halves[0] + halves[1];
    }

    visit_scalar(prev, cur, end, stride, add_scalar);
    return sums;
}

template <FilterType kFilter>
void write_filtered(const std::uint8_t* prev, const std::uint8_t* cur, std::size_t stride,
                    std::uint8_t* out) {
    auto put_scalar = [&](std::size_t i, int x, int a, int b, int c) {
        out[i] = residual(kFilter, x, a, b, c);
    };
    visit_scalar(prev, cur, 0, kPixelBytes, put_scalar);
    const std::size_t end = block_end(stride);
    for (std::size_t i = kPixelBytes; i < end; i += kLanes) {
        store(out + i, residual<kFilter>(load(cur + i), load(cur + i - kPixelBytes), load(prev + i),
                                         load(prev + i - kPixelBytes)));
    }
    visit_scalar(prev, cur, end, stride, put_scalar);
}

void write_filtered(FilterType filter, const std::uint8_t* prev, const std::uint8_t* cur,
                    std::size_t stride, std::uint8_t* out) {
    switch (filter) {
        case FilterType::kNone:
            return write_filtered<FilterType::kNone>(prev, cur, stride, out);
        case FilterType::kSub:
            return write_filtered<FilterType::kSub>(prev, cur, stride, out);
        case FilterType::kUp:
            return write_filtered<FilterType::kUp>(prev, cur, stride, out);
        case FilterType::kAverage:
            return write_filtered<FilterType::kAverage>(prev, cur, stride, out);
        case FilterType::kPaeth:
            return write_filtered<FilterType::kPaeth>(prev, cur, stride, out);
    }
}

}  // namespace

void filter_row(std::span<const std::uint8_t> prev, std::span<const std::uint8_t> cur,
                std::span<std::uint8_t> out) {
    const std::array<std::uint64_t, 5> sums = filter_sums(prev.data(), cur.data(), cur.size());
    std::size_t best = 0;
    for (std::size_t f = 1; f < sums.size(); ++f) {
        if (sums[f] < sums[best]) {
            best = f;
        }
    }
    out[0] = static_cast<std::uint8_t>(best);
    write_filtered(kFilters[best], prev.data(), cur.data(), cur.size(), out.data() + 1);
}

}  // namespace vantle::png_filter
