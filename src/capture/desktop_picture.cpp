#include "capture/desktop_picture.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "support/logger.h"

namespace vantle {

namespace {

constexpr std::string_view kLogTarget = "vantle_lib::capture";

std::int64_t clamp64(std::int64_t value, std::int64_t low, std::int64_t high) {
    return std::clamp(value, low, high);
}

}  // namespace

Result<DesktopPicture> stitch_desktop(std::vector<DesktopPicture> monitors) {
    if (monitors.empty()) {
        return std::unexpected(Error("every monitor refused to capture"));
    }
    if (monitors.size() == 1) {
        return std::move(monitors.front());
    }
    // Wider than 32 bits so that monitors at the far ends of the coordinate
    // space cannot wrap the box around.
    std::int64_t min_x = std::numeric_limits<std::int64_t>::max();
    std::int64_t min_y = min_x;
    std::int64_t max_x = std::numeric_limits<std::int64_t>::min();
    std::int64_t max_y = max_x;
    for (const DesktopPicture& m : monitors) {
        min_x = std::min<std::int64_t>(min_x, m.x);
        min_y = std::min<std::int64_t>(min_y, m.y);
        max_x = std::max<std::int64_t>(max_x, std::int64_t{m.x} + m.image.width);
        max_y = std::max<std::int64_t>(max_y, std::int64_t{m.y} + m.image.height);
    }
    constexpr std::int64_t kMaxSide = std::numeric_limits<std::uint32_t>::max();
    const auto width = static_cast<std::uint32_t>(std::min(max_x - min_x, kMaxSide));
    const auto height = static_cast<std::uint32_t>(std::min(max_y - min_y, kMaxSide));

    DesktopPicture desktop;
    desktop.x = static_cast<std::int32_t>(min_x);
    desktop.y = static_cast<std::int32_t>(min_y);
    desktop.image.width = width;
    desktop.image.height = height;
    desktop.image.pixels.resize(std::size_t{width} * height * 4);
    for (std::size_t i = 3; i < desktop.image.pixels.size(); i += 4) {
        desktop.image.pixels[i] = 255;
    }
    const std::size_t canvas_stride = std::size_t{width} * 4;
    for (const DesktopPicture& m : monitors) {
        const auto left = static_cast<std::size_t>(m.x - min_x);
        const auto top = static_cast<std::size_t>(m.y - min_y);
        const std::size_t cols = std::min<std::size_t>(m.image.width, width - left);
        const std::size_t rows = std::min<std::size_t>(m.image.height, height - top);
        const std::size_t stride = std::size_t{m.image.width} * 4;
        for (std::size_t r = 0; r < rows; ++r) {
            std::memcpy(desktop.image.pixels.data() + (top + r) * canvas_stride + left * 4,
                        m.image.pixels.data() + r * stride, cols * 4);
        }
    }
    return desktop;
}

Result<DesktopPicture> capture_desktop(
    std::size_t count, const std::function<Result<DesktopPicture>(std::size_t)>& capture_one) {
    if (count == 0) {
        return std::unexpected(Error("no monitors reported"));
    }
    std::vector<DesktopPicture> pictures;
    pictures.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        Result<DesktopPicture> picture = capture_one(i);
        if (!picture) {
            log_warn(kLogTarget,
                     "skipping a monitor that would not capture: " + picture.error().message());
            continue;
        }
        pictures.push_back(std::move(*picture));
    }
    return stitch_desktop(std::move(pictures));
}

Result<DesktopPicture> cut_region(const DesktopPicture& desktop, const Region& region) {
    const std::int64_t w = desktop.image.width;
    const std::int64_t h = desktop.image.height;
    const std::int64_t dx = std::int64_t{region.x} - desktop.x;
    const std::int64_t dy = std::int64_t{region.y} - desktop.y;
    const std::int64_t left = clamp64(dx, 0, w);
    const std::int64_t right = clamp64(dx + region.width, 0, w);
    const std::int64_t top = clamp64(dy, 0, h);
    const std::int64_t bottom = clamp64(dy + region.height, 0, h);
    if (right == left || bottom == top) {
        return std::unexpected(Error("selection had no area"));
    }
    DesktopPicture cut;
    cut.x = static_cast<std::int32_t>(desktop.x + left);
    cut.y = static_cast<std::int32_t>(desktop.y + top);
    cut.image.width = static_cast<std::uint32_t>(right - left);
    cut.image.height = static_cast<std::uint32_t>(bottom - top);
    const std::size_t row_bytes = std::size_t{cut.image.width} * 4;
    const std::size_t stride = static_cast<std::size_t>(w) * 4;
    cut.image.pixels.resize(row_bytes * cut.image.height);
    for (std::size_t r = 0; r < cut.image.height; ++r) {
        std::memcpy(cut.image.pixels.data() + r * row_bytes,
                    desktop.image.pixels.data() + (static_cast<std::size_t>(top) + r) * stride +
                        static_cast<std::size_t>(left) * 4,
                    row_bytes);
    }
    return cut;
}

Result<RgbaImage> picture_with_pointer(Result<DesktopPicture> picture,
                                       const PointerDrawer& draw_pointer) {
    if (!picture) {
        return std::unexpected(std::move(picture.error()));
    }
    if (draw_pointer) {
        if (Status drawn = draw_pointer(picture->image, picture->x, picture->y); !drawn) {
            return std::unexpected(std::move(drawn.error()));
        }
    }
    return std::move(picture->image);
}

Result<RgbaImage> region_picture(
    std::size_t count, const std::function<Result<DesktopPicture>(std::size_t)>& capture_one,
    const Region& region, const PointerDrawer& draw_pointer) {
    Result<DesktopPicture> desktop = capture_desktop(count, capture_one);
    if (!desktop) {
        return std::unexpected(std::move(desktop.error()));
    }
    return picture_with_pointer(cut_region(*desktop, region), draw_pointer);
}

CropExtent clip_crop(std::uint32_t surface_width, std::uint32_t surface_height,
                     const CropExtent& crop) {
    const auto keep = [](std::int64_t surface, std::int64_t origin, std::int64_t limit) {
        return static_cast<std::uint32_t>(std::clamp<std::int64_t>(surface - origin, 0, limit));
    };
    CropExtent kept = crop;
    kept.width = crop.x < 0 ? 0 : keep(surface_width, crop.x, crop.width);
    kept.height = crop.y < 0 ? 0 : keep(surface_height, crop.y, crop.height);
    return kept;
}

}  // namespace vantle
