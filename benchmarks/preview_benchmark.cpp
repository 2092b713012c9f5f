// The capture tool's preview at 3840x2160: the size rule alone (unbounded)
// beside the same with the reply bound, whose extra attempts are the added
// time. Three pictures: a photographic desktop (a photo as wallpaper with
// sensor grain and three terminal panels), noise, and a gradient wallpaper
// with the same terminals. Counters: the preview sent, its PNG and
// base64 sizes, and how many sizes were tried. The encoder works on several
// threads, so the CPU column is the whole process's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "automation/mcp/preview.h"
#include "automation/mcp/transport.h"
#include "random_bits.h"

namespace {

using vantle::RgbaImage;

using vantle::bench::Random;

std::uint8_t clamp(double value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
}

// Smooth value noise: a lattice of random values every `cell` pixels, blended.
class Smooth {
  public:
    Smooth(std::uint32_t width, std::uint32_t height, int cell, Random& random)
        : cell_(cell), columns_(static_cast<int>(width) / cell + 2) {
        const int rows = static_cast<int>(height) / cell + 2;
        values_.resize(static_cast<std::size_t>(columns_ * rows));
        for (double& v : values_) {
            v = static_cast<double>(random.next() % 1000) / 1000.0;
        }
    }
    double at(int x, int y) const {
        const int cx = x / cell_;
        const int cy = y / cell_;
        const double fx = static_cast<double>(x % cell_) / cell_;
        const double fy = static_cast<double>(y % cell_) / cell_;
        const auto v = [&](int i, int j) {
            return values_[static_cast<std::size_t>((cy + j) * columns_ + cx + i)];
        };
        const double sx = fx * fx * (3 - 2 * fx);
        const double sy = fy * fy * (3 - 2 * fy);
        const double top = v(0, 0) + (v(1, 0) - v(0, 0)) * sx;
        const double bottom = v(0, 1) + (v(1, 1) - v(0, 1)) * sx;
        return top + (bottom - top) * sy;
    }

  private:
    int cell_;
    int columns_;
    std::vector<double> values_;
};

RgbaImage make_picture(int kind, std::uint32_t width, std::uint32_t height) {
    RgbaImage image{width, height, std::vector<std::uint8_t>(std::size_t{width} * height * 4, 255)};
    Random random(0x5eed + static_cast<std::uint64_t>(kind));
    const auto put = [&](std::uint32_t x, std::uint32_t y, double r, double g, double b) {
        std::uint8_t* p = &image.pixels[(std::size_t{y} * width + x) * 4];
        p[0] = clamp(r);
        p[1] = clamp(g);
        p[2] = clamp(b);
    };
    if (kind == 1) {
        for (std::uint8_t& byte : image.pixels) {
            byte = static_cast<std::uint8_t>(random.next());
        }
        return image;
    }
    if (kind == 0) {
        // A landscape photo: large soft shapes, finer texture, sensor grain.
        const Smooth broad(width, height, 480, random);
        const Smooth middle(width, height, 60, random);
        const Smooth fine(width, height, 8, random);
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                const int xi = static_cast<int>(x);
                const int yi = static_cast<int>(y);
                const double light =
                    0.6 * broad.at(xi, yi) + 0.3 * middle.at(xi, yi) + 0.1 * fine.at(xi, yi);
                const double grain = static_cast<double>(random.next() % 13) - 6;
                put(x, y, 40 + 180 * light + grain, 70 + 150 * light * light + grain,
                    120 + 100 * (1 - light) + grain);
            }
        }
    } else {
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                put(x, y, 30 + 40.0 * x / width, 70 + 60.0 * y / height, 140);
            }
        }
    }
    // Three terminals: dark panels with lines of light marks.
    for (int t = 0; t < 3; ++t) {
        const std::uint32_t left = width / 20 + static_cast<std::uint32_t>(t) * width * 3 / 10;
        const std::uint32_t top = height / 10 + static_cast<std::uint32_t>(t) * height / 8;
        for (std::uint32_t y = top; y < top + height / 2; ++y) {
            for (std::uint32_t x = left; x < left + width / 4; ++x) {
                const bool mark = (y - top) % 18 < 12 && (x - left) % 9 < 7 &&
                                  random.next() % 3 != 0 && (y - top) / 18 % 5 != 4;
                put(x, y, mark ? 200 : 24, mark ? 210 : 26, mark ? 200 : 30);
            }
        }
    }
    return image;
}

const RgbaImage& picture(int kind) {
    static std::map<int, RgbaImage> pictures;
    auto [it, added] = pictures.try_emplace(kind);
    if (added) {
        it->second = make_picture(kind, 3840, 2160);
    }
    return it->second;
}

// What the capture tool leaves the PNG when the rest of the reply takes about
// 600 bytes (the capture result, the summary, the reply's own members).
std::size_t room_for_png() {
    return (vantle::kMaxReplyBytes - 600) / 4 * 3;
}

void BM_preview(benchmark::State& state) {
    const RgbaImage& image = picture(static_cast<int>(state.range(0)));
    const bool bounded = state.range(1) != 0;
    std::size_t attempts = 0;
    vantle::mcp::Preview last;
    for (auto _ : state) {
        attempts = 0;
        const vantle::mcp::PngRoom room = [&](vantle::mcp::PreviewSize) {
            ++attempts;
            return bounded ? room_for_png() : SIZE_MAX;
        };
        auto preview = vantle::mcp::make_preview(image, room);
        benchmark::DoNotOptimize(preview);
        last = std::move(*preview);
    }
    state.SetLabel(std::string(state.range(0) == 0   ? "photo desktop"
                               : state.range(0) == 1 ? "noise"
                                                     : "gradient desktop") +
                   (bounded ? ", bounded" : ", rule only"));
    state.counters["width"] = last.width;
    state.counters["height"] = last.height;
    state.counters["png_KB"] = static_cast<double>(last.png.size()) / 1e3;
    state.counters["base64_KB"] = static_cast<double>((last.png.size() + 2) / 3 * 4) / 1e3;
    state.counters["attempts"] = static_cast<double>(attempts);
}

BENCHMARK(BM_preview)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
