#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/error.h"

namespace vantle {

// A complete PNG file (8-bit RGBA, not interlaced, at the deflate level the
// compressing library works best at (deflate::kLevel),
// adaptive per-row filters) of `width` x `height` pixels given as RGBA bytes,
// top row first, rows without gaps. Fails when the sizes do not fit PNG's
// limits or `rgba` is shorter than width * height * 4.
[[nodiscard]] Result<std::vector<std::uint8_t>> encode_png(std::uint32_t width,
                                                           std::uint32_t height,
                                                           std::span<const std::uint8_t> rgba);

}  // namespace vantle
