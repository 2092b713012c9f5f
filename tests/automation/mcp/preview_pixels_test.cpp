#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/resample.h"

namespace vantle::mcp {
namespace {

// A scaled preview compared pixel by pixel with the triangle filter computed
// here the plain way: every output pixel as one weighted sum over the 2-D
// neighbourhood of its centre, in double precision, with no separate passes,
// so a fault in either pass of the product (rows or columns, edges, weights
// that do not sum to one, a channel mixed up) shows as a wrong pixel.

// The weight of source sample `i` for an output sample centred at `center` (in
// source units) when `ratio` source samples make one output sample: a triangle
// of radius 1, widened by the ratio when shrinking.
double triangle(std::uint32_t i, double center, double ratio) {
    const double radius = std::max(ratio, 1.0);
    return std::max(0.0, 1.0 - std::abs(static_cast<double>(i) + 0.5 - center) / radius);
}

RgbaImage reference(const RgbaImage& picture, std::uint32_t width, std::uint32_t height) {
    const double x_ratio = static_cast<double>(picture.width) / width;
    const double y_ratio = static_cast<double>(picture.height) / height;
    RgbaImage out{width, height, std::vector<std::uint8_t>(std::size_t{width} * height * 4)};
    for (std::uint32_t oy = 0; oy < height; ++oy) {
        for (std::uint32_t ox = 0; ox < width; ++ox) {
            const double cx = (ox + 0.5) * x_ratio;
            const double cy = (oy + 0.5) * y_ratio;
            double sum[4] = {0, 0, 0, 0};
            double total = 0;
            for (std::uint32_t y = 0; y < picture.height; ++y) {
                const double wy = triangle(y, cy, y_ratio);
                for (std::uint32_t x = 0; x < picture.width && wy > 0; ++x) {
                    const double w = wy * triangle(x, cx, x_ratio);
                    total += w;
                    for (int c = 0; c < 4; ++c) {
                        sum[c] += w * picture.pixels[(std::size_t{y} * picture.width + x) * 4 +
                                                     static_cast<std::size_t>(c)];
                    }
                }
            }
            for (int c = 0; c < 4; ++c) {
                out.pixels[(std::size_t{oy} * width + ox) * 4 + static_cast<std::size_t>(c)] =
                    static_cast<std::uint8_t>(std::lround(sum[c] / total));
            }
        }
    }
    return out;
}

// Squares of `cell` pixels, black and white in red; green and blue run along
// the two diagonals, and alpha follows the squares too, so every channel
// differs from its neighbours.
RgbaImage checkerboard(std::uint32_t width, std::uint32_t height, std::uint32_t cell) {
    RgbaImage image{width, height, {}};
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const bool white = ((x / cell) + (y / cell)) % 2 == 1;
            image.pixels.push_back(white ? 255 : 0);
            image.pixels.push_back(static_cast<std::uint8_t>((x + y) * 255 / (width + height - 2)));
            image.pixels.push_back(
                static_cast<std::uint8_t>((x + height - 1 - y) * 255 / (width + height - 2)));
            image.pixels.push_back(white ? 255 : 96);
        }
    }
    return image;
}

// A gradient along the diagonal in every colour channel, steeper in red.
RgbaImage diagonal(std::uint32_t width, std::uint32_t height) {
    RgbaImage image{width, height, {}};
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const double t = static_cast<double>(x + y) / (width + height - 2);
            image.pixels.push_back(static_cast<std::uint8_t>(std::lround(255 * t)));
            image.pixels.push_back(static_cast<std::uint8_t>(std::lround(255 * (1 - t))));
            image.pixels.push_back(static_cast<std::uint8_t>(std::lround(255 * t * t)));
            image.pixels.push_back(255);
        }
    }
    return image;
}

TEST(ResizeTriangle, MatchesTheTwoDimensionalFilterWithinOnePerChannel) {
    const struct {
        const char* what;
        RgbaImage picture;
        std::uint32_t width, height;
    } cases[] = {
        {"checkerboard of 1-pixel cells, halved", checkerboard(40, 30, 1), 20, 15},
        {"checkerboard of 3-pixel cells, by odd ratios", checkerboard(61, 47, 3), 17, 29},
        {"checkerboard shrunk in height only", checkerboard(24, 90, 4), 24, 13},
        {"checkerboard shrunk in width only", checkerboard(90, 24, 4), 13, 24},
        {"checkerboard stretched", checkerboard(9, 7, 2), 20, 16},
        {"diagonal gradient, shrunk", diagonal(97, 71), 31, 23},
        {"diagonal gradient, shrunk in height more than width", diagonal(50, 120), 40, 11},
        {"to one pixel", checkerboard(13, 11, 2), 1, 1},
    };
    for (const auto& c : cases) {
        const RgbaImage got = resize_triangle(c.picture, c.width, c.height);
        const RgbaImage want = reference(c.picture, c.width, c.height);
        ASSERT_EQ(got.width, c.width) << c.what;
        ASSERT_EQ(got.height, c.height) << c.what;
        ASSERT_EQ(got.pixels.size(), want.pixels.size()) << c.what;
        int wrong = 0;
        for (std::size_t i = 0; i < want.pixels.size() && wrong < 5; ++i) {
            if (std::abs(got.pixels[i] - want.pixels[i]) > 1) {
                ++wrong;
                const std::size_t pixel = i / 4;
                ADD_FAILURE() << c.what << ": pixel " << pixel % c.width << "," << pixel / c.width
                              << " channel " << i % 4 << " is " << int{got.pixels[i]}
                              << ", the filter gives " << int{want.pixels[i]};
            }
        }
    }
}

}  // namespace
}  // namespace vantle::mcp
