#include "capture/pointer_overlay.h"

#include <algorithm>
#include <cstddef>

namespace vantle {

std::optional<PointerPlacement> place_pointer(std::int32_t pointer_x, std::int32_t pointer_y,
                                              std::int32_t hotspot_x, std::int32_t hotspot_y,
                                              std::uint32_t width, std::uint32_t height,
                                              std::int32_t origin_x, std::int32_t origin_y,
                                              std::uint32_t picture_width,
                                              std::uint32_t picture_height) {
    if (width < 1 || height < 1) {
        return std::nullopt;
    }
    // 64 bits: a pointer near one end of the coordinate space and a picture near
    // the other must not wrap around into view.
    const std::int64_t left = std::int64_t{pointer_x} - hotspot_x - origin_x;
    const std::int64_t top = std::int64_t{pointer_y} - hotspot_y - origin_y;
    if (top + height <= 0 || left + width <= 0 || left >= picture_width || top >= picture_height) {
        return std::nullopt;
    }
    return PointerPlacement{static_cast<std::int32_t>(left), static_cast<std::int32_t>(top)};
}

void blend_pointer(RgbaImage& picture, const PointerImage& pointer, PointerPlacement at) {
    if (pointer.argb.size() < std::size_t{pointer.width} * pointer.height) {
        return;
    }
    const std::int64_t first_col = std::max<std::int64_t>(0, -std::int64_t{at.left});
    const std::int64_t first_row = std::max<std::int64_t>(0, -std::int64_t{at.top});
    const std::int64_t end_col =
        std::min<std::int64_t>(pointer.width, std::int64_t{picture.width} - at.left);
    const std::int64_t end_row =
        std::min<std::int64_t>(pointer.height, std::int64_t{picture.height} - at.top);
    for (std::int64_t row = first_row; row < end_row; ++row) {
        for (std::int64_t col = first_col; col < end_col; ++col) {
            const std::uint32_t word =
                pointer.argb[static_cast<std::size_t>(row * pointer.width + col)];
            const std::uint32_t alpha = word >> 24;
            const std::uint32_t keep = 255 - alpha;
            std::uint8_t* px =
                picture.pixels.data() + (static_cast<std::size_t>(at.top + row) * picture.width +
                                         static_cast<std::size_t>(at.left + col)) *
                                            4;
            const std::uint32_t source[3] = {(word >> 16) & 0xFF, (word >> 8) & 0xFF, word & 0xFF};
            for (int c = 0; c < 3; ++c) {
                // Premultiplied "over": source + destination * (1 - alpha), rounded.
                const std::uint32_t blended = source[c] + (px[c] * keep + 127) / 255;
                px[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(blended, 255));
            }
            px[3] = 255;
        }
    }
}

}  // namespace vantle
