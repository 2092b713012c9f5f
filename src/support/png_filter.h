#pragma once

#include <cstdint>
#include <span>

namespace vantle::png_filter {

// The five PNG row filters, numbered as the format numbers them.
enum class FilterType : std::uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };

// Filters one row of 4-byte pixels with the filter whose output has the smallest
// sum of absolute values (bytes read as signed; the earlier filter wins a tie).
// `prev` is the raw row above (all zero for the first row) and `cur` the raw row,
// both the same length, a multiple of 4 and at least 4. `out` is one byte longer:
// it receives the filter type byte, then the filtered row. The build picks the
// fastest implementation the processor has.
void filter_row(std::span<const std::uint8_t> prev, std::span<const std::uint8_t> cur,
                std::span<std::uint8_t> out);

// The same choice and output as `filter_row`, in plain byte-at-a-time code: the
// fallback for processors without a faster one, and the reference in tests.
void filter_row_portable(std::span<const std::uint8_t> prev, std::span<const std::uint8_t> cur,
                         std::span<std::uint8_t> out);

}  // namespace vantle::png_filter
