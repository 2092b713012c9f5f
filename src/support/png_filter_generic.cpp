#include "support/png_filter.h"

namespace vantle::png_filter {

void filter_row(std::span<const std::uint8_t> prev, std::span<const std::uint8_t> cur,
                std::span<std::uint8_t> out) {
    filter_row_portable(prev, cur, out);
}

}  // namespace vantle::png_filter
