#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "automation/mcp/preview.h"
#include "capture/resample.h"

namespace vantle::mcp {
namespace {

TEST(PreviewSize, BoundsTheLongerSideTo1568) {
    const struct {
        std::uint32_t width, height, preview_width, preview_height;
    } cases[] = {
        {1568, 1000, 1568, 1000},
        {1569, 1000, 1568, 999},
        {3840, 2160, 1568, 882},
        {2560, 1440, 1568, 882},
        {1920, 1080, 1568, 882},
        {1000, 4000, 392, 1568},
        {5000, 2, 1568, 1},
        {10000, 1, 1568, 1},
        {1, 10000, 1, 1568},
        {1, 1, 1, 1},
        {3136, 3, 1568, 2},  // 1.5 rounds away from zero
        {4294967295, 4294967295, 1568, 1568},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(preview_size(c.width, c.height), (PreviewSize{c.preview_width, c.preview_height}))
            << c.width << "x" << c.height;
    }
}

TEST(Base64, EncodesTheRfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        const std::vector<std::uint8_t> bytes(plain.begin(), plain.end());
        EXPECT_EQ(base64_encode(bytes), encoded) << plain;
    }
    const std::vector<std::uint8_t> high = {0xFB, 0xFF, 0xBF};
    EXPECT_EQ(base64_encode(high), "+/+/");
}

TEST(PreviewSummary, TellsAScaledCopyFromTheFile) {
    const RgbaImage big{1569, 1000, {}};
    EXPECT_EQ(preview_summary(Preview{1568, 999, {}}, big, "/tmp/a.png"),
              "Preview scaled to 1568x999; the 1569x1000 file at /tmp/a.png keeps every pixel.");
    const RgbaImage small{1568, 1000, {}};
    EXPECT_EQ(preview_summary(Preview{1568, 1000, {}}, small, "/tmp/a.png"),
              "1568x1000 capture written to /tmp/a.png");
}

RgbaImage gradient(std::uint32_t width, std::uint32_t height) {
    RgbaImage image{width, height, {}};
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            image.pixels.push_back(static_cast<std::uint8_t>(x * 255 / (width - 1)));
            image.pixels.push_back(static_cast<std::uint8_t>(y * 255 / (height - 1)));
            image.pixels.push_back(128);
            image.pixels.push_back(255);
        }
    }
    return image;
}

TEST(ResizeTriangle, KeepsFlatColoursAndAveragesNeighbours) {
    const RgbaImage flat{4, 4, std::vector<std::uint8_t>(64, 77)};
    const RgbaImage half = resize_triangle(flat, 2, 2);
    EXPECT_EQ(half.pixels, std::vector<std::uint8_t>(16, 77));

    // Two columns, black and white, shrunk to one: the mean.
    const RgbaImage stripes{2, 1, {0, 0, 0, 255, 255, 255, 255, 255}};
    const RgbaImage one = resize_triangle(stripes, 1, 1);
    EXPECT_EQ(one.pixels, (std::vector<std::uint8_t>{128, 128, 128, 255}));

    // A gradient stays a gradient, ends included.
    const RgbaImage scaled = resize_triangle(gradient(300, 10), 100, 10);
    EXPECT_LT(scaled.pixels[0], 5);
    EXPECT_GT(scaled.pixels[99 * 4], 250);
    for (std::uint32_t x = 1; x < 100; ++x) {
        EXPECT_GE(scaled.pixels[x * 4], scaled.pixels[(x - 1) * 4]);
    }
}

}  // namespace
}  // namespace vantle::mcp

namespace vantle::mcp {
namespace {

std::uint32_t big_endian(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
           (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

TEST(MakePreview, EncodesThePreviewSizeAsPng) {
    const struct {
        std::uint32_t width, height, preview_width, preview_height;
    } cases[] = {{1569, 1000, 1568, 999}, {5000, 2, 1568, 1}, {40, 30, 40, 30}};
    for (const auto& c : cases) {
        const RgbaImage picture{
            c.width, c.height, std::vector<std::uint8_t>(std::size_t{c.width} * c.height * 4, 200)};
        auto preview = make_preview(picture);
        ASSERT_TRUE(preview.has_value()) << preview.error().render();
        EXPECT_EQ(preview->width, c.preview_width);
        EXPECT_EQ(preview->height, c.preview_height);
        const std::vector<std::uint8_t>& png = preview->png;
        ASSERT_GT(png.size(), 33u);
        EXPECT_EQ(std::vector<std::uint8_t>(png.begin(), png.begin() + 8),
                  (std::vector<std::uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
        EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
        EXPECT_EQ(big_endian(png, 16), c.preview_width);
        EXPECT_EQ(big_endian(png, 20), c.preview_height);
        EXPECT_EQ(std::string(png.end() - 8, png.end() - 4), "IEND");
    }
}

}  // namespace
}  // namespace vantle::mcp
