#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/records.h"

namespace vantle {

// Where a pointer's top-left pixel lands in a picture, in picture pixels (it may
// lie left of or above the picture when the pointer sticks out there).
struct PointerPlacement {
    std::int32_t left = 0;
    std::int32_t top = 0;
    friend bool operator==(const PointerPlacement&, const PointerPlacement&) = default;
};

// Places a width x height pointer whose hotspot (hotspot_x, hotspot_y inside the
// pointer) is at desktop position (pointer_x, pointer_y) into a picture whose
// top-left pixel is at desktop (origin_x, origin_y). None when the pointer has
// no area or no pixel of it falls on the picture.
[[nodiscard]] std::optional<PointerPlacement> place_pointer(
    std::int32_t pointer_x, std::int32_t pointer_y, std::int32_t hotspot_x, std::int32_t hotspot_y,
    std::uint32_t width, std::uint32_t height, std::int32_t origin_x, std::int32_t origin_y,
    std::uint32_t picture_width, std::uint32_t picture_height);

// A pointer picture as X11 hands it out: 32-bit words 0xAARRGGBB with the colour
// premultiplied by alpha, top row first.
struct PointerImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::int32_t hotspot_x = 0;
    std::int32_t hotspot_y = 0;
    std::vector<std::uint32_t> argb;  // width * height words
};

// Draws `pointer` over `picture` at `at`, blending by the pointer's alpha. Every
// picture pixel under the pointer's rectangle becomes opaque; pixels outside it
// and pointer pixels outside the picture are left alone.
void blend_pointer(RgbaImage& picture, const PointerImage& pointer, PointerPlacement at);

}  // namespace vantle
