#include <gtest/gtest.h>

#include <vector>

#include "capture/pointer_overlay.h"

namespace vantle {
namespace {

TEST(PlacePointer, PutsTheHotspotOnThePointerAndSkipsPointersOffThePicture) {
    struct Case {
        std::int32_t px, py;  // pointer position on the desktop
        std::int32_t ox, oy;  // picture origin on the desktop
        std::optional<PointerPlacement> expected;
    } cases[] = {
        {50, 60, 0, 0, PointerPlacement{46, 56}},
        {1930, 10, 1920, 0, PointerPlacement{6, 6}},        // second monitor's picture
        {2, 1, 0, 0, PointerPlacement{-2, -3}},             // half out at the top left
        {-4 + 4, 0, 0, 0, PointerPlacement{-4, -4}},        // only the bottom-right pixels show
        {-13 + 4, 0, 0, 0, std::nullopt},                   // left + width <= 0
        {10, -12 + 4, 0, 0, std::nullopt},                  // top + height <= 0
        {104, 10, 0, 0, std::nullopt},                      // left >= picture width
        {10, 84, 0, 0, std::nullopt},                       // top >= picture height
        {103, 83, 0, 0, PointerPlacement{99, 79}},          // the last pixel still shows
        {2147483647, 0, -2147483647 - 1, 0, std::nullopt},  // no wrap-around
    };
    for (const Case& c : cases) {
        EXPECT_EQ(place_pointer(c.px, c.py, 4, 4, 12, 12, c.ox, c.oy, 100, 80), c.expected)
            << c.px << "," << c.py << " in picture at " << c.ox << "," << c.oy;
    }
    EXPECT_EQ(place_pointer(10, 10, 0, 0, 0, 12, 0, 0, 100, 80), std::nullopt);
}

TEST(BlendPointer, BlendsByAlphaMakesPixelsOpaqueAndClipsToThePicture) {
    // A 3x1 picture of grey 100 with alpha 7; a 2x2 pointer placed at (1, -1)
    // so only its bottom row lands on the picture's last two pixels.
    RgbaImage picture{3, 1, {100, 100, 100, 7, 100, 100, 100, 7, 100, 100, 100, 7}};
    const PointerImage pointer{
        2,
        2,
        0,
        0,
        {0xFF0000FF, 0xFF00FF00,    // top row: off the picture
         0xFFFF0000, 0x80400000}};  // opaque red; half-transparent premultiplied red
    blend_pointer(picture, pointer, {1, -1});
    const std::vector<std::uint8_t> expected = {100, 100, 100, 7,     // untouched
                                                255, 0,   0,   255,   // opaque pointer pixel
                                                114, 50,  50,  255};  // 64 + 100 * 127 / 255
    EXPECT_EQ(picture.pixels, expected);
}

TEST(BlendPointer, ATransparentPointerPixelLeavesTheColourButMakesItOpaque) {
    RgbaImage picture{1, 1, {1, 2, 3, 0}};
    blend_pointer(picture, PointerImage{1, 1, 0, 0, {0x00000000}}, {0, 0});
    EXPECT_EQ(picture.pixels, (std::vector<std::uint8_t>{1, 2, 3, 255}));
}

}  // namespace
}  // namespace vantle
