#include <benchmark/benchmark.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "random_bits.h"
#include "support/deflate_piece.h"
#include "support/png.h"
#include "support/png_filter.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Picture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    Bytes rgba;
};

using vantle::bench::Random;

struct Rgb {
    int r, g, b;
};

class Canvas {
  public:
    Canvas(std::uint32_t width, std::uint32_t height)
        : picture_{width, height, Bytes(std::size_t{width} * height * 4, 255)} {}

    void put(int x, int y, Rgb c) {
        if (x < 0 || y < 0 || x >= static_cast<int>(picture_.width) ||
            y >= static_cast<int>(picture_.height)) {
            return;
        }
        std::uint8_t* p = &picture_.rgba[(static_cast<std::size_t>(y) * picture_.width +
                                          static_cast<std::size_t>(x)) *
                                         4];
        p[0] = clamp(c.r);
        p[1] = clamp(c.g);
        p[2] = clamp(c.b);
    }
    void fill(int x0, int y0, int w, int h, Rgb c) {
        for (int y = y0; y < y0 + h; ++y) {
            for (int x = x0; x < x0 + w; ++x) {
                put(x, y, c);
            }
        }
    }
    [[nodiscard]] int width() const { return static_cast<int>(picture_.width); }
    [[nodiscard]] int height() const { return static_cast<int>(picture_.height); }
    Picture take() { return std::move(picture_); }

  private:
    static std::uint8_t clamp(int v) {
        return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    Picture picture_;
};

constexpr int kGlyphWidth = 7;
constexpr int kGlyphHeight = 13;
constexpr int kGlyphCount = 90;

// Glyphs as ink coverage (0..255) with anti-aliased edges, as font rendering
// leaves them: a few strokes each, mostly empty.
std::vector<std::uint8_t> make_glyphs(Random& random) {
    std::vector<std::uint8_t> glyphs(kGlyphCount * kGlyphWidth * kGlyphHeight, 0);
    for (int g = 0; g < kGlyphCount; ++g) {
        std::uint8_t* glyph = &glyphs[static_cast<std::size_t>(g) * kGlyphWidth * kGlyphHeight];
        const int strokes = 2 + static_cast<int>(random.next() % 3);
        for (int s = 0; s < strokes; ++s) {
            const bool vertical = random.next() % 2 == 0;
            const int fixed = 1 + static_cast<int>(random.next() %
                                                   (vertical ? kGlyphWidth - 2 : kGlyphHeight - 4));
            const int from = 2 + static_cast<int>(random.next() % 4);
            const int to = from + 3 + static_cast<int>(random.next() % 6);
            for (int t = from; t < to; ++t) {
                const int x = vertical ? fixed : t % kGlyphWidth;
                const int y = vertical ? t % kGlyphHeight : fixed;
                glyph[y * kGlyphWidth + x] = 255;
                const int ex = vertical ? x + 1 : x;
                const int ey = vertical ? y : y + 1;
                if (ex < kGlyphWidth && ey < kGlyphHeight && glyph[ey * kGlyphWidth + ex] == 0) {
                    glyph[ey * kGlyphWidth + ex] =
                        static_cast<std::uint8_t>(60 + random.next() % 120);
                }
            }
        }
    }
    return glyphs;
}

void draw_text(Canvas& canvas, Random& random, const std::vector<std::uint8_t>& glyphs, int x0,
               int y0, int w, int h, Rgb ink, Rgb paper) {
    for (int line_y = y0 + 6; line_y + kGlyphHeight < y0 + h; line_y += kGlyphHeight + 5) {
        const int indent = static_cast<int>(random.next() % 6) * 4 * kGlyphWidth;
        const int length = static_cast<int>(random.next() % static_cast<std::uint32_t>(w));
        for (int x = x0 + 8 + indent;
             x + kGlyphWidth < x0 + 8 + indent + length && x + kGlyphWidth < x0 + w;
             x += kGlyphWidth + 1) {
            if (random.next() % 6 == 0) {
                continue;  // a space
            }
            const std::uint8_t* glyph =
                &glyphs[(random.next() % kGlyphCount) * kGlyphWidth * kGlyphHeight];
            for (int gy = 0; gy < kGlyphHeight; ++gy) {
                for (int gx = 0; gx < kGlyphWidth; ++gx) {
                    const int a = glyph[gy * kGlyphWidth + gx];
                    if (a != 0) {
                        canvas.put(x + gx, line_y + gy,
                                   {paper.r + (ink.r - paper.r) * a / 255,
                                    paper.g + (ink.g - paper.g) * a / 255,
                                    paper.b + (ink.b - paper.b) * a / 255});
                    }
                }
            }
        }
    }
}

// A desktop: a gradient wallpaper, an editor and a browser full of text, a
// photo with noise, flat panels and a task bar. Sizes scale with the screen,
// the text does not (as with a higher resolution at the same zoom).
Picture make_screenshot(std::uint32_t width, std::uint32_t height) {
    Canvas canvas(width, height);
    Random random(0x5eed + width);
    const std::vector<std::uint8_t> glyphs = make_glyphs(random);
    const int w = canvas.width();
    const int h = canvas.height();
    auto sx = [&](double f) { return static_cast<int>(f * w); };
    auto sy = [&](double f) { return static_cast<int>(f * h); };

    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            canvas.put(x, y, {20 + 60 * x / w, 60 + 80 * y / h, 120 + 100 * (x + y) / (w + h)});
        }
    }
    struct Window {
        double x, y, w, h;
        bool text;
    };
    const Window windows[] = {{0.04, 0.06, 0.55, 0.78, true},
                              {0.62, 0.10, 0.35, 0.45, false},
                              {0.45, 0.50, 0.40, 0.40, true}};
    for (const Window& win : windows) {
        const int x0 = sx(win.x), y0 = sy(win.y), ww = sx(win.w), wh = sy(win.h);
        for (int y = y0; y < y0 + 30; ++y) {
            for (int x = x0; x < x0 + ww; ++x) {
                canvas.put(x, y, {40 + 40 * (x - x0) / ww, 90, 160});
            }
        }
        canvas.fill(x0, y0 + 30, ww, wh - 30, {255, 255, 255});
        if (win.text) {
            canvas.fill(x0, y0 + 30, 200, wh - 30, {243, 243, 246});
            draw_text(canvas, random, glyphs, x0, y0 + 30, 200, wh - 30, {70, 70, 80},
                      {243, 243, 246});
            draw_text(canvas, random, glyphs, x0 + 210, y0 + 30, ww - 220, wh - 30, {20, 20, 20},
                      {255, 255, 255});
        } else {
            // A photo: smooth shapes with sensor noise.
            for (int y = y0 + 40; y < y0 + wh - 10; ++y) {
                for (int x = x0 + 10; x < x0 + ww - 10; ++x) {
                    const int n = static_cast<int>(random.next() % 17) - 8;
                    canvas.put(x, y,
                               {90 + (x - x0) * 120 / ww + n, 140 - (y - y0) * 80 / wh + n,
                                60 + ((x ^ y) & 63) + n});
                }
            }
        }
    }
    canvas.fill(0, h - 40, w, 40, {32, 32, 36});
    for (int i = 0; i < 12; ++i) {
        canvas.fill(10 + i * 52, h - 34, 28, 28, {70 + i * 13, 120, 200 - i * 9});
    }
    return canvas.take();
}

// A plasma fractal (midpoint displacement on a square grid, each colour
// channel its own surface), blurred, with a sensor's grain: a photographic
// wallpaper, smooth at every scale, no two neighbours quite alike.
std::vector<float> plasma_surface(int side, Random& random) {
    const std::size_t row = static_cast<std::size_t>(side) + 1;
    std::vector<float> v(row * row, 0.0f);
    auto at = [&](int x, int y) -> float& {
        return v[static_cast<std::size_t>(y) * row + static_cast<std::size_t>(x)];
    };
    auto jitter = [&](float amplitude) {
        return (static_cast<float>(random.next() % 2001) / 1000.0f - 1.0f) * amplitude;
    };
    for (int corner = 0; corner < 4; ++corner) {
        at(corner % 2 * side, corner / 2 * side) = 128.0f + jitter(100.0f);
    }
    float amplitude = 90.0f;
    for (int step = side; step > 1; step /= 2, amplitude *= 0.55f) {
        const int half = step / 2;
        for (int y = half; y < side; y += step) {
            for (int x = half; x < side; x += step) {
                at(x, y) = (at(x - half, y - half) + at(x + half, y - half) +
                            at(x - half, y + half) + at(x + half, y + half)) /
                               4.0f +
                           jitter(amplitude);
            }
        }
        for (int y = 0; y <= side; y += half) {
            for (int x = (y / half) % 2 == 0 ? half : 0; x <= side; x += step) {
                float sum = 0.0f;
                int n = 0;
                const int dx[] = {-half, half, 0, 0};
                const int dy[] = {0, 0, -half, half};
                for (int k = 0; k < 4; ++k) {
                    const int nx = x + dx[k];
                    const int ny = y + dy[k];
                    if (nx >= 0 && ny >= 0 && nx <= side && ny <= side) {
                        sum += at(nx, ny);
                        ++n;
                    }
                }
                at(x, y) = sum / static_cast<float>(n) + jitter(amplitude);
            }
        }
    }
    return v;
}

// A horizontal then vertical running mean over `radius` pixels each side, twice
// (close to a Gaussian blur), of one channel of a picture.
void blur_channel(Picture& picture, std::size_t channel, int radius) {
    const int w = static_cast<int>(picture.width);
    const int h = static_cast<int>(picture.height);
    std::vector<int> line;
    auto at = [&](int x, int y) {
        return static_cast<std::size_t>(y) * picture.width + static_cast<std::size_t>(x);
    };
    auto pass = [&](int count, int length, auto index) {
        line.resize(static_cast<std::size_t>(length));
        for (int c = 0; c < count; ++c) {
            for (int i = 0; i < length; ++i) {
                line[static_cast<std::size_t>(i)] = picture.rgba[index(c, i) * 4 + channel];
            }
            for (int i = 0; i < length; ++i) {
                int sum = 0;
                int n = 0;
                for (int j = std::max(0, i - radius); j <= std::min(length - 1, i + radius); ++j) {
                    sum += line[static_cast<std::size_t>(j)];
                    ++n;
                }
                picture.rgba[index(c, i) * 4 + channel] = static_cast<std::uint8_t>(sum / n);
            }
        }
    };
    for (int round = 0; round < 2; ++round) {
        pass(h, w, [&](int y, int x) { return at(x, y); });
        pass(w, h, [&](int x, int y) { return at(x, y); });
    }
}

Picture make_photograph(std::uint32_t width, std::uint32_t height) {
    Canvas canvas(width, height);
    Random random(0xf07011 + width);
    int side = 1;
    while (side < static_cast<int>(std::max(width, height))) {
        side *= 2;
    }
    std::array<std::vector<float>, 3> channels;
    for (std::vector<float>& channel : channels) {
        channel = plasma_surface(side, random);
    }
    for (int y = 0; y < canvas.height(); ++y) {
        for (int x = 0; x < canvas.width(); ++x) {
            const std::size_t i =
                static_cast<std::size_t>(y) * (static_cast<std::size_t>(side) + 1) +
                static_cast<std::size_t>(x);
            canvas.put(x, y,
                       {static_cast<int>(channels[0][i]), static_cast<int>(channels[1][i]),
                        static_cast<int>(channels[2][i])});
        }
    }
    Picture picture = canvas.take();
    for (std::size_t channel = 0; channel < 3; ++channel) {
        blur_channel(picture, channel, 1);
    }
    for (std::size_t i = 0; i < picture.rgba.size(); ++i) {
        if (i % 4 != 3) {
            const std::uint32_t r = random.next() % 4;
            const int grain = r == 0 ? -1 : r == 3 ? 1 : 0;
            picture.rgba[i] =
                static_cast<std::uint8_t>(std::clamp(picture.rgba[i] + grain, 0, 255));
        }
    }
    return picture;
}

// The contents the encoder is measured on: a desktop of flat windows full of
// text, and a photograph filling the screen.
enum Content : std::int64_t { kScreenshot = 0, kPhotograph = 1 };

const Picture& picture_of(const benchmark::State& state) {
    static std::map<std::pair<std::int64_t, std::int64_t>, Picture> pictures;
    const std::int64_t height = state.range(0);
    const std::int64_t content = state.range(1);
    auto [it, added] = pictures.try_emplace({height, content});
    if (added) {
        const auto w = static_cast<std::uint32_t>(height * 16 / 9);
        const auto h = static_cast<std::uint32_t>(height);
        it->second = content == kPhotograph ? make_photograph(w, h) : make_screenshot(w, h);
    }
    return it->second;
}

void append(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void no_flush(png_structp) {}

// libpng as an application would call it: RGBA, every setting at its default.
Bytes encode_with_libpng(const Picture& picture, const std::vector<png_bytep>& rows) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
        std::fputs("libpng failed\n", stderr);
        std::abort();
    }
    png_set_write_fn(png, &out, append, no_flush);
    png_set_IHDR(png, info, picture.width, picture.height, 8, PNG_COLOR_TYPE_RGB_ALPHA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, const_cast<png_bytepp>(rows.data()));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

void report(benchmark::State& state, const Picture& picture, std::size_t file_bytes) {
    const double raw = static_cast<double>(picture.rgba.size());
    state.counters["MB/s"] =
        benchmark::Counter(raw / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["file_KB"] = static_cast<double>(file_bytes) / 1e3;
    state.counters["raw/file"] = raw / static_cast<double>(file_bytes);
}

void BM_vantle_encode_png(benchmark::State& state) {
    const Picture& picture = picture_of(state);
    std::size_t file_bytes = 0;
    for (auto _ : state) {
        const vantle::Result<Bytes> png =
            vantle::encode_png(picture.width, picture.height, picture.rgba);
        if (!png) {
            state.SkipWithError(png.error().render().c_str());
            return;
        }
        file_bytes = png->size();
        benchmark::DoNotOptimize(png->data());
    }
    report(state, picture, file_bytes);
}

void BM_libpng_default(benchmark::State& state) {
    const Picture& picture = picture_of(state);
    std::vector<png_bytep> rows(picture.height);
    for (std::uint32_t y = 0; y < picture.height; ++y) {
        rows[y] = const_cast<png_bytep>(&picture.rgba[std::size_t{y} * picture.width * 4]);
    }
    std::size_t file_bytes = 0;
    for (auto _ : state) {
        const Bytes png = encode_with_libpng(picture, rows);
        file_bytes = png.size();
        benchmark::DoNotOptimize(png.data());
    }
    report(state, picture, file_bytes);
}

// The two halves of the encoder on one thread, to see where the time goes.
Bytes filter_all_rows(const Picture& picture) {
    const std::size_t stride = std::size_t{picture.width} * 4;
    const Bytes zero(stride, 0);
    const std::span<const std::uint8_t> rgba(picture.rgba);
    Bytes out(picture.height * (stride + 1));
    for (std::size_t y = 0; y < picture.height; ++y) {
        vantle::png_filter::filter_row(
            y == 0 ? std::span<const std::uint8_t>(zero) : rgba.subspan((y - 1) * stride, stride),
            rgba.subspan(y * stride, stride), std::span(out).subspan(y * (stride + 1), stride + 1));
    }
    return out;
}

void BM_part_filter_rows(benchmark::State& state) {
    const Picture& picture = picture_of(state);
    for (auto _ : state) {
        const Bytes filtered = filter_all_rows(picture);
        benchmark::DoNotOptimize(filtered.data());
    }
    report(state, picture, picture.rgba.size());
}

void BM_part_deflate(benchmark::State& state) {
    const Picture& picture = picture_of(state);
    const Bytes filtered = filter_all_rows(picture);
    std::size_t size = 0;
    for (auto _ : state) {
        const vantle::Result<vantle::deflate::CompressedBytes> stream =
            vantle::deflate::compress_piece({}, filtered, true);
        size = stream ? stream->size : 0;
        benchmark::DoNotOptimize(stream->data.get());
    }
    report(state, picture, size);
}

// Arguments: the picture's height (16:9) and its content.
void sizes_and_contents(benchmark::internal::Benchmark* b) {
    b->ArgNames({"height", "photo"});
    for (const std::int64_t content : {kScreenshot, kPhotograph}) {
        for (const std::int64_t height : {1080, 2160}) {
            b->Args({height, content});
        }
    }
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_part_filter_rows)->Apply(sizes_and_contents);
BENCHMARK(BM_part_deflate)->Apply(sizes_and_contents);
BENCHMARK(BM_vantle_encode_png)->Apply(sizes_and_contents)->UseRealTime();
BENCHMARK(BM_libpng_default)->Apply(sizes_and_contents)->UseRealTime();

}  // namespace
