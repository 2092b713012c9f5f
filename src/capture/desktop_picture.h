#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/records.h"
#include "support/error.h"

namespace vantle {

// A picture of part of the desktop and the desktop position of its top-left pixel.
struct DesktopPicture {
    RgbaImage image;
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Joins monitor pictures, given in enumeration order, into one picture of the
// desktop. None is the error "every monitor refused to capture"; one is returned
// as it is; several are copied onto an opaque black canvas the size of their
// bounding box, later monitors over earlier ones where they overlap.
[[nodiscard]] Result<DesktopPicture> stitch_desktop(std::vector<DesktopPicture> monitors);

// Copies every monitor through `capture_one(i)` for i in [0, count) and stitches
// the pictures. A monitor that fails is skipped with a warning, so it only costs
// its part of the desktop. No monitors at all is "no monitors reported".
[[nodiscard]] Result<DesktopPicture> capture_desktop(
    std::size_t count, const std::function<Result<DesktopPicture>(std::size_t)>& capture_one);

// The part of `region` that lies on the desktop picture, as a new picture at its
// own desktop position; "selection had no area" when nothing of it does.
[[nodiscard]] Result<DesktopPicture> cut_region(const DesktopPicture& desktop,
                                                const Region& region);

// Draws the pointer over a picture whose top-left pixel lies at the desktop
// position x, y.
using PointerDrawer = std::function<Status(RgbaImage& picture, std::int32_t x, std::int32_t y)>;

// The picture's image, with the pointer drawn over it when there is a
// `draw_pointer`; an error of either comes back as it is.
[[nodiscard]] Result<RgbaImage> picture_with_pointer(Result<DesktopPicture> picture,
                                                     const PointerDrawer& draw_pointer);

// A region capture: every monitor copied through `capture_one` and stitched
// (capture_desktop), cut to `region` (cut_region), then picture_with_pointer.
[[nodiscard]] Result<RgbaImage> region_picture(
    std::size_t count, const std::function<Result<DesktopPicture>(std::size_t)>& capture_one,
    const Region& region, const PointerDrawer& draw_pointer);

// The rectangle of a surface of surface_width x surface_height that a crop
// (relative to the surface's top-left corner) keeps: the crop cut at the
// surface's right and bottom edges, with a zero size when it misses the surface.
struct CropExtent {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    friend bool operator==(const CropExtent&, const CropExtent&) = default;
};
[[nodiscard]] CropExtent clip_crop(std::uint32_t surface_width, std::uint32_t surface_height,
                                   const CropExtent& crop);

}  // namespace vantle
