#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/error.h"

namespace vantle {

// A complete PNG file (8 bits per sample, not interlaced, adaptive per-row
// filters) of `width` x `height` pixels given as RGBA bytes: RGB when every
// pixel's alpha is 255, RGBA otherwise; either decodes to the pixels given,
// top row first, rows without gaps. Fails when the sizes do not fit PNG's
// limits or `rgba` is shorter than width * height * 4.
[[nodiscard]] Result<std::vector<std::uint8_t>> encode_png(std::uint32_t width,
                                                           std::uint32_t height,
                                                           std::span<const std::uint8_t> rgba);

}  // namespace vantle
