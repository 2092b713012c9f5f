#include "capture/resample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace vantle {

namespace {

// The weights of a triangle filter from `source` samples onto `target` samples,
// one row of contributions per target sample. Shrinking widens the filter so
// that every source sample contributes.
struct Contribution {
    std::size_t first = 0;
    std::vector<float> weights;
};

std::vector<Contribution> triangle_weights(std::uint32_t source, std::uint32_t target) {
    const double ratio = static_cast<double>(source) / static_cast<double>(target);
    const double scale = std::max(ratio, 1.0);
    const double support = scale;  // the triangle's radius is 1 before widening
    std::vector<Contribution> result(target);
    for (std::uint32_t out = 0; out < target; ++out) {
        const double center = (static_cast<double>(out) + 0.5) * ratio;
        const auto left = static_cast<std::int64_t>(std::floor(center - support));
        const auto right = static_cast<std::int64_t>(std::ceil(center + support));
        const std::int64_t first = std::clamp<std::int64_t>(left, 0, source - 1);
        const std::int64_t last = std::clamp<std::int64_t>(right, first + 1, source);
        Contribution& c = result[out];
        c.first = static_cast<std::size_t>(first);
        double sum = 0;
        std::vector<double> raw;
        for (std::int64_t i = first; i < last; ++i) {
            const double distance = std::abs((static_cast<double>(i) + 0.5 - center) / scale);
            const double weight = std::max(0.0, 1.0 - distance);
            raw.push_back(weight);
            sum += weight;
        }
        if (sum <= 0) {
            // The centre falls between samples that the filter does not reach; take the nearest.
            std::fill(raw.begin(), raw.end(), 0.0);
            const auto nearest =
                std::clamp<std::int64_t>(static_cast<std::int64_t>(center), first, last - 1);
            raw[static_cast<std::size_t>(nearest - first)] = 1.0;
            sum = 1.0;
        }
        c.weights.reserve(raw.size());
        for (double weight : raw) {
            c.weights.push_back(static_cast<float>(weight / sum));
        }
    }
    return result;
}

std::uint8_t to_byte(float value) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

}  // namespace

RgbaImage resize_triangle(const RgbaImage& picture, std::uint32_t width, std::uint32_t height) {
    RgbaImage out{width, height, {}};
    if (width == 0 || height == 0 || picture.width == 0 || picture.height == 0) {
        out.pixels.assign(static_cast<std::size_t>(width) * height * 4, 0);
        return out;
    }
    // Row by row: the vertical pass into one row of floats, then the horizontal
    // pass of that row into bytes. One row stays in the cache; a whole picture
    // of floats (54 MB from 3840x2160) would cost more to clear and fault in
    // than the filtering itself.
    const auto rows = triangle_weights(picture.height, height);
    const auto columns = triangle_weights(picture.width, width);
    const std::size_t source_stride = static_cast<std::size_t>(picture.width) * 4;
    std::vector<float> middle(source_stride);
    out.pixels.resize(static_cast<std::size_t>(width) * height * 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::fill(middle.begin(), middle.end(), 0.0F);
        const Contribution& c = rows[y];
        for (std::size_t k = 0; k < c.weights.size(); ++k) {
            const std::uint8_t* source = &picture.pixels[(c.first + k) * source_stride];
            const float weight = c.weights[k];
            for (std::size_t i = 0; i < source_stride; ++i) {
                middle[i] += weight * static_cast<float>(source[i]);
            }
        }
        std::uint8_t* target = &out.pixels[static_cast<std::size_t>(y) * width * 4];
        for (std::uint32_t x = 0; x < width; ++x) {
            const Contribution& column = columns[x];
            float sum[4] = {0, 0, 0, 0};
            for (std::size_t k = 0; k < column.weights.size(); ++k) {
                const float* pixel = &middle[(column.first + k) * 4];
                for (int channel = 0; channel < 4; ++channel) {
                    sum[channel] += column.weights[k] * pixel[channel];
                }
            }
            for (int channel = 0; channel < 4; ++channel) {
                target[x * 4 + static_cast<std::uint32_t>(channel)] = to_byte(sum[channel]);
            }
        }
    }
    return out;
}

}  // namespace vantle
