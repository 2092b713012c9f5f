#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/desktop_picture.h"
#include "support/logger.h"
#include "support/writer.h"

namespace vantle {
namespace {

// A monitor picture filled with one grey level (R = G = B = shade) so that a
// stitched pixel tells which monitor it came from.
DesktopPicture monitor(std::int32_t x, std::int32_t y, std::uint32_t w, std::uint32_t h,
                       std::uint8_t shade) {
    DesktopPicture p{{w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 4, shade)}, x, y};
    for (std::size_t i = 3; i < p.image.pixels.size(); i += 4) {
        p.image.pixels[i] = 200;  // not opaque, to see that it is copied without blending
    }
    return p;
}

// The R byte and alpha of a pixel as "R/A".
std::string at(const DesktopPicture& p, std::uint32_t col, std::uint32_t row) {
    const std::size_t i = (std::size_t{row} * p.image.width + col) * 4;
    return std::to_string(p.image.pixels[i]) + "/" + std::to_string(p.image.pixels[i + 3]);
}

TEST(StitchDesktop, PlacesMonitorsInTheirBoxOnOpaqueBlackAndTheLaterWins) {
    // A tall left monitor, a short right one that overlaps it by two columns,
    // and one above the origin.
    const auto desktop = stitch_desktop(
        {monitor(-4, 0, 6, 6, 10), monitor(0, 2, 4, 2, 20), monitor(2, -3, 2, 2, 30)});
    ASSERT_TRUE(desktop);
    EXPECT_EQ(desktop->x, -4);
    EXPECT_EQ(desktop->y, -3);
    EXPECT_EQ(desktop->image.width, 8u);
    EXPECT_EQ(desktop->image.height, 9u);
    struct Case {
        std::uint32_t col, row;
        const char* expected;
    } cases[] = {
        {0, 3, "10/200"},                   // first monitor's own pixel, alpha untouched
        {4, 5, "20/200"},                   // overlap: the later monitor wins
        {5, 3, "10/200"},                   // first monitor beside the overlap rows
        {7, 5, "20/200"}, {7, 3, "0/255"},  // right of the first, above the second: black
        {6, 0, "30/200"}, {0, 0, "0/255"}, {7, 8, "0/255"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(at(*desktop, c.col, c.row), c.expected) << c.col << "," << c.row;
    }
}

TEST(StitchDesktop, OneMonitorIsReturnedAsItIsAndNoneIsAnError) {
    const auto one = stitch_desktop({monitor(100, 50, 3, 2, 7)});
    ASSERT_TRUE(one);
    EXPECT_EQ(one->x, 100);
    EXPECT_EQ(one->image, monitor(0, 0, 3, 2, 7).image);
    EXPECT_EQ(stitch_desktop({}).error().render(), "every monitor refused to capture");
}

TEST(CaptureDesktop, SkipsAMonitorThatFailsWithAWarning) {
    StringWriter log_lines;
    install_logger();
    set_log_sink_for_testing(&log_lines);
    const auto desktop = capture_desktop(2, [](std::size_t i) -> Result<DesktopPicture> {
        if (i == 0) {
            return std::unexpected(Error("no pixels").context("copy failed"));
        }
        return monitor(1920, 0, 2, 2, 5);
    });
    set_log_sink_for_testing(nullptr);
    ASSERT_TRUE(desktop);
    EXPECT_EQ(desktop->x, 1920);
    EXPECT_EQ(log_lines.text(),
              "vantle: WARN: skipping a monitor that would not capture: copy failed\n");

    EXPECT_EQ(capture_desktop(0, {}).error().render(), "no monitors reported");
    const auto none = capture_desktop(
        1, [](std::size_t) -> Result<DesktopPicture> { return std::unexpected(Error("x")); });
    EXPECT_EQ(none.error().render(), "every monitor refused to capture");
}

TEST(CutRegion, ClipsToTheDesktopAndKeepsTheCutsPosition) {
    // Desktop 10x6 at (-2, -1); pixel (c, r) holds R = c * 10 + r.
    DesktopPicture desktop{{10, 6, std::vector<std::uint8_t>(10 * 6 * 4, 0)}, -2, -1};
    for (std::uint32_t r = 0; r < 6; ++r) {
        for (std::uint32_t c = 0; c < 10; ++c) {
            desktop.image.pixels[(r * 10 + c) * 4] = static_cast<std::uint8_t>(c * 10 + r);
        }
    }
    struct Case {
        Region region;
        std::int32_t x, y;
        std::uint32_t w, h;
        std::uint8_t first;  // R of the cut's top-left pixel
    } cases[] = {
        {{0, 0, 3, 2}, 0, 0, 3, 2, 21},
        {{-10, -10, 11, 12}, -2, -1, 3, 3, 0},  // partly left of and above the desktop
        {{6, 3, 100, 100}, 6, 3, 2, 2, 84},     // runs past the right and bottom edges
        {{-2, -1, 10, 6}, -2, -1, 10, 6, 0},    // exactly the desktop
    };
    for (const Case& c : cases) {
        const auto cut = cut_region(desktop, c.region);
        ASSERT_TRUE(cut) << c.region.x << "," << c.region.y;
        EXPECT_EQ(cut->x, c.x);
        EXPECT_EQ(cut->y, c.y);
        EXPECT_EQ(cut->image.width, c.w);
        EXPECT_EQ(cut->image.height, c.h);
        EXPECT_EQ(cut->image.pixels[0], c.first);
        EXPECT_EQ(cut->image.pixels.size(), std::size_t{c.w} * c.h * 4);
    }
    const Region no_area[] = {{8, 0, 5, 5}, {-20, 0, 18, 3},
                              {0, 5, 3, 3}, {0, 0, 0, 3},
                              {0, 0, 3, 0}, {2147483647, 2147483647, 4294967295u, 1}};
    for (const Region& r : no_area) {
        EXPECT_EQ(cut_region(desktop, r).error().render(), "selection had no area")
            << r.x << "," << r.y << "," << r.width << "x" << r.height;
    }
}

TEST(RegionPicture, DrawsThePointerAtTheCutsDesktopPositionOnlyWhenAsked) {
    // Two monitors side by side; the region starts left of the desktop, so the
    // cut, and the position the pointer is drawn at, begins at the desktop's edge.
    const auto copy = [](std::size_t i) -> Result<DesktopPicture> {
        return monitor(i == 0 ? -4 : 0, 0, 4, 3, i == 0 ? 10 : 20);
    };
    const Region region{-9, 1, 7, 5};
    std::vector<std::string> drawn;
    const PointerDrawer draw = [&](RgbaImage& picture, std::int32_t x, std::int32_t y) {
        drawn.push_back(std::to_string(picture.width) + "x" + std::to_string(picture.height) +
                        " at " + std::to_string(x) + "," + std::to_string(y));
        picture.pixels[0] = 255;
        return Status{};
    };
    const auto with = region_picture(2, copy, region, draw);
    ASSERT_TRUE(with) << with.error().render();
    EXPECT_EQ(drawn, std::vector<std::string>{"2x2 at -4,1"});
    EXPECT_EQ(with->pixels[0], 255);

    drawn.clear();
    const auto without = region_picture(2, copy, region, {});
    ASSERT_TRUE(without);
    EXPECT_TRUE(drawn.empty());
    EXPECT_EQ(without->pixels[0], 10);

    const PointerDrawer failing = [](RgbaImage&, std::int32_t, std::int32_t) -> Status {
        return std::unexpected(Error("no pointer shape"));
    };
    EXPECT_EQ(region_picture(2, copy, region, failing).error().render(), "no pointer shape");
    EXPECT_EQ(region_picture(2, copy, {100, 0, 5, 5}, draw).error().render(),
              "selection had no area");
    EXPECT_EQ(picture_with_pointer(std::unexpected(Error("copy failed")), draw).error().render(),
              "copy failed");
}

TEST(ClipCrop, CutsAtTheSurfaceEdges) {
    struct Case {
        CropExtent crop;
        CropExtent expected;
    } cases[] = {
        {{10, 20, 30, 40}, {10, 20, 30, 40}}, {{90, 20, 30, 40}, {90, 20, 10, 40}},
        {{10, 80, 30, 40}, {10, 80, 30, 20}}, {{100, 0, 5, 5}, {100, 0, 0, 5}},
        {{200, 200, 5, 5}, {200, 200, 0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(clip_crop(100, 100, c.crop), c.expected) << c.crop.x << "," << c.crop.y;
    }
}

}  // namespace
}  // namespace vantle
