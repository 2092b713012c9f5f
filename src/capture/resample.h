#pragma once

#include <cstdint>

#include "platform/records.h"

namespace vantle {

// `picture` resampled with a triangle (linear) filter to `width` x `height`.
// Shrinking widens the filter so that every source pixel contributes; shared by
// the server's previews and the monitor pictures that come back in a size other
// than the monitor's.
[[nodiscard]] RgbaImage resize_triangle(const RgbaImage& picture, std::uint32_t width,
                                        std::uint32_t height);

}  // namespace vantle
