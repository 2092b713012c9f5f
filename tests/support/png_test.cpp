#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/png.h"
#include "support/png_filter.h"
#include "support/png_internal.h"

namespace vantle {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A fixed-seed generator, so every run and every standard library sees the
// same pictures.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed | 1) {}
    std::uint8_t byte() { return static_cast<std::uint8_t>(next() >> 56); }
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }

  private:
    std::uint64_t state_;
};

enum class Pattern { kRandom, kFlat, kGradient, kAlpha, kSignEdges };

std::string pattern_name(Pattern pattern) {
    switch (pattern) {
        case Pattern::kRandom:
            return "random";
        case Pattern::kFlat:
            return "flat";
        case Pattern::kGradient:
            return "gradient";
        case Pattern::kAlpha:
            return "alpha";
        case Pattern::kSignEdges:
            return "sign-edges";
    }
    return "?";
}

Bytes make_picture(std::uint32_t width, std::uint32_t height, Pattern pattern) {
    Bytes rgba(std::size_t{width} * height * 4);
    Random random(std::uint64_t{width} * 7919 + height);
    // Values either side of 0 and 128, where the signed reading of a filtered
    // byte changes.
    constexpr std::uint8_t kEdges[] = {0, 1, 127, 128, 129, 255};
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t* p = &rgba[(std::size_t{y} * width + x) * 4];
            switch (pattern) {
                case Pattern::kRandom:
                    for (int i = 0; i < 4; ++i) {
                        p[i] = random.byte();
                    }
                    break;
                case Pattern::kFlat:
                    p[0] = 30, p[1] = 144, p[2] = 255, p[3] = 255;
                    break;
                case Pattern::kGradient:
                    p[0] = static_cast<std::uint8_t>(x * 3);
                    p[1] = static_cast<std::uint8_t>(y * 5);
                    p[2] = static_cast<std::uint8_t>(x + y);
                    p[3] = 255;
                    break;
                case Pattern::kAlpha:
                    p[0] = static_cast<std::uint8_t>(x * 7);
                    p[1] = random.byte();
                    p[2] = 200;
                    p[3] = static_cast<std::uint8_t>(x ^ y);
                    break;
                case Pattern::kSignEdges:
                    for (int i = 0; i < 4; ++i) {
                        p[i] = kEdges[random.next() % std::size(kEdges)];
                    }
                    break;
            }
        }
    }
    return rgba;
}

struct Decoded {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    Bytes rgba;
    std::string error;
};

// Decodes with libpng, which checks every CRC and the zlib stream's Adler-32.
Decoded decode(const Bytes& file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Decoded decoded;
    if (png_image_begin_read_from_memory(&image, file.data(), file.size()) == 0) {
        decoded.error = image.message;
        return decoded;
    }
    image.format = PNG_FORMAT_RGBA;
    decoded.width = image.width;
    decoded.height = image.height;
    decoded.rgba.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, decoded.rgba.data(), 0, nullptr) == 0 ||
        PNG_IMAGE_FAILED(image)) {
        decoded.error = image.message;
    }
    png_image_free(&image);
    return decoded;
}

struct Chunk {
    std::string type;
    Bytes data;
    std::uint32_t crc = 0;
};

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// The chunks after the signature; fails the test when the file is cut short.
std::vector<Chunk> chunks_of(const Bytes& file) {
    std::vector<Chunk> chunks;
    std::size_t at = 8;
    while (at < file.size()) {
        if (file.size() - at < 12) {
            ADD_FAILURE() << "truncated chunk header at " << at;
            break;
        }
        const std::uint32_t length = be32(&file[at]);
        if (file.size() - at - 12 < length) {
            ADD_FAILURE() << "truncated chunk at " << at;
            break;
        }
        Chunk chunk;
        chunk.type.assign(reinterpret_cast<const char*>(&file[at + 4]), 4);
        chunk.data.assign(file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                          file.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        chunk.crc = be32(&file[at + 8 + length]);
        chunks.push_back(std::move(chunk));
        at += 12 + length;
    }
    return chunks;
}

std::uint32_t zlib_crc(const Chunk& chunk) {
    uLong crc = ::crc32(0, reinterpret_cast<const Bytef*>(chunk.type.data()), 4);
    if (!chunk.data.empty()) {
        crc = ::crc32(crc, chunk.data.data(), static_cast<uInt>(chunk.data.size()));
    }
    return static_cast<std::uint32_t>(crc);
}

struct Size {
    std::uint32_t width;
    std::uint32_t height;
};

TEST(EncodePng, DecodesToTheSamePixels) {
    const Size sizes[] = {{1, 1},    {3, 2},   {5, 7},   {1, 37},   {37, 1},
                          {4097, 3}, {17, 16}, {64, 65}, {700, 800}};
    const Pattern patterns[] = {Pattern::kRandom, Pattern::kFlat, Pattern::kGradient,
                                Pattern::kAlpha, Pattern::kSignEdges};
    for (const Size size : sizes) {
        for (const Pattern pattern : patterns) {
            SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height) + " " +
                         pattern_name(pattern));
            const Bytes rgba = make_picture(size.width, size.height, pattern);
            const Result<Bytes> png = encode_png(size.width, size.height, rgba);
            ASSERT_TRUE(png.has_value()) << png.error().render();
            const Decoded decoded = decode(*png);
            ASSERT_EQ(decoded.error, "");
            EXPECT_EQ(decoded.width, size.width);
            EXPECT_EQ(decoded.height, size.height);
            EXPECT_TRUE(decoded.rgba == rgba) << "pixels differ";
        }
    }
}

TEST(EncodePng, FlatPicturesCompressWell) {
    const Bytes rgba = make_picture(700, 800, Pattern::kFlat);
    const Result<Bytes> png = encode_png(700, 800, rgba);
    ASSERT_TRUE(png.has_value());
    EXPECT_LT(png->size(), rgba.size() / 100);
}

TEST(EncodePng, WritesSignatureHeaderDataAndEndWithCorrectCrcs) {
    const std::uint32_t width = 300;
    const std::uint32_t height = 301;
    const Bytes rgba = make_picture(width, height, Pattern::kRandom);
    // Small IDAT chunks, as only pictures of gigabytes would need in real use.
    for (const std::size_t max_idat : {std::size_t{1000}, png_internal::kMaxChunkLength}) {
        SCOPED_TRACE(max_idat);
        const Result<Bytes> png =
            png_internal::encode_png(width, height, rgba, {.max_idat_length = max_idat});
        ASSERT_TRUE(png.has_value());
        const Bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
        ASSERT_GE(png->size(), signature.size());
        EXPECT_TRUE(std::equal(signature.begin(), signature.end(), png->begin()));

        const std::vector<Chunk> chunks = chunks_of(*png);
        ASSERT_GE(chunks.size(), 3u);
        EXPECT_EQ(chunks.front().type, "IHDR");
        EXPECT_EQ(chunks.front().data,
                  (Bytes{0, 0, 1, 44, 0, 0, 1, 45, /*depth*/ 8, /*RGBA*/ 6, 0, 0, 0}));
        EXPECT_EQ(chunks.back().type, "IEND");
        EXPECT_TRUE(chunks.back().data.empty());
        std::size_t idat_bytes = 0;
        for (std::size_t i = 1; i + 1 < chunks.size(); ++i) {
            EXPECT_EQ(chunks[i].type, "IDAT");
            EXPECT_LE(chunks[i].data.size(), max_idat);
            idat_bytes += chunks[i].data.size();
        }
        for (const Chunk& chunk : chunks) {
            EXPECT_EQ(chunk.crc, zlib_crc(chunk)) << chunk.type;
        }
        if (max_idat == 1000) {
            EXPECT_EQ(chunks.size(), 2 + (idat_bytes + 999) / 1000);
        } else {
            EXPECT_EQ(chunks.size(), 3u);
        }
        const Decoded decoded = decode(*png);
        ASSERT_EQ(decoded.error, "");
        EXPECT_TRUE(decoded.rgba == rgba);
    }
}

TEST(EncodePng, CrcMatchesZlibAtEveryLengthAndContinuation) {
    Random random(5);
    Bytes data(70);
    for (std::uint8_t& b : data) {
        b = random.byte();
    }
    for (std::size_t length = 0; length <= data.size(); ++length) {
        const std::uint32_t expected =
            static_cast<std::uint32_t>(::crc32(0, data.data(), static_cast<uInt>(length)));
        EXPECT_EQ(png_internal::crc32(0, {data.data(), length}), expected) << length;
        const std::size_t half = length / 2;
        EXPECT_EQ(png_internal::crc32(png_internal::crc32(0, {data.data(), half}),
                                      {data.data() + half, length - half}),
                  expected)
            << length;
    }
}

TEST(EncodePng, RefusesPicturesItCannotEncode) {
    struct Case {
        std::uint32_t width;
        std::uint32_t height;
        std::size_t bytes;
        std::string message;
    } cases[] = {
        {0, 10, 0, "cannot encode a PNG of 0x10 pixels: a PNG needs at least one pixel"},
        {10, 0, 0, "cannot encode a PNG of 10x0 pixels: a PNG needs at least one pixel"},
        {0x80000000u, 1, 0,
         "cannot encode a PNG of 2147483648x1 pixels: a PNG side may not exceed 2147483647 pixels"},
        {1, 0xffffffffu, 0,
         "cannot encode a PNG of 1x4294967295 pixels: a PNG side may not exceed 2147483647 "
         "pixels"},
        {4, 4, 63, "cannot encode a PNG of 4x4 pixels: the picture has 63 bytes but needs 64"},
        {3, 1, 0, "cannot encode a PNG of 3x1 pixels: the picture has 0 bytes but needs 12"},
        // The size in bytes is past 32 bits and close to 64: it must not wrap
        // into something the buffer seems to cover.
        {0x7fffffffu, 0x7fffffffu, 16,
         "cannot encode a PNG of 2147483647x2147483647 pixels: the picture has 16 bytes but "
         "needs 18446744056529682436"},
        {0x40000000u, 4, 16,
         "cannot encode a PNG of 1073741824x4 pixels: the picture has 16 bytes but needs "
         "17179869184"},
    };
    for (const Case& c : cases) {
        const Bytes rgba(c.bytes, 7);
        const Result<Bytes> png = encode_png(c.width, c.height, rgba);
        ASSERT_FALSE(png.has_value()) << c.message;
        EXPECT_EQ(png.error().render(), c.message);
        EXPECT_EQ(png.error().render().find('\n'), std::string::npos);
    }
}

TEST(EncodePng, IgnoresBytesBeyondThePicture) {
    Bytes rgba = make_picture(5, 3, Pattern::kRandom);
    const Bytes picture = rgba;
    rgba.resize(rgba.size() + 9, 0xab);
    const Result<Bytes> png = encode_png(5, 3, rgba);
    ASSERT_TRUE(png.has_value());
    EXPECT_TRUE(decode(*png).rgba == picture);
}

// Rows built so that one filter's output is all zero while the others' is not.
struct FilterCase {
    std::string name;
    Bytes prev;
    Bytes cur;
    png_filter::FilterType expected;
};

std::uint8_t paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : (pb <= pc ? b : c));
}

std::vector<FilterCase> filter_cases() {
    constexpr std::size_t kStride = 4 * 23;
    Random random(11);
    Bytes noise(kStride);
    for (std::uint8_t& b : noise) {
        b = random.byte();
    }
    Bytes average(kStride), paeth_row(kStride), ramp(kStride), small(kStride);
    for (std::size_t i = 0; i < kStride; ++i) {
        const int a = i < 4 ? 0 : average[i - 4];
        average[i] = static_cast<std::uint8_t>((a + noise[i]) >> 1);
        // Far from the row above in the first pixel, so the predictor does not
        // settle on the upper neighbour for the whole row.
        paeth_row[i] = i < 4 ? static_cast<std::uint8_t>(noise[i] + 128)
                             : paeth(paeth_row[i - 4], noise[i], noise[i - 4]);
        small[i] = static_cast<std::uint8_t>(i / 4 % 2 * 2);
        ramp[i] = static_cast<std::uint8_t>(i / 4 * 3);
    }
    return {
        {"zero rows tie, and the first filter wins", Bytes(kStride, 0), Bytes(kStride, 0),
         png_filter::FilterType::kNone},
        {"small values that alternate", noise, small, png_filter::FilterType::kNone},
        {"flat row", Bytes(kStride, 0), Bytes(kStride, 200), png_filter::FilterType::kSub},
        {"repeated row", noise, noise, png_filter::FilterType::kUp},
        {"average of left and up", noise, average, png_filter::FilterType::kAverage},
        {"paeth of the neighbours", noise, paeth_row, png_filter::FilterType::kPaeth},
        {"ramp over a ramp", ramp, ramp, png_filter::FilterType::kUp},
    };
}

using FilterRow = void (*)(std::span<const std::uint8_t>, std::span<const std::uint8_t>,
                           std::span<std::uint8_t>);

TEST(PngFilter, PicksTheFilterWithTheSmallestSignedSum) {
    const std::pair<const char*, FilterRow> implementations[] = {
        {"fast", png_filter::filter_row}, {"portable", png_filter::filter_row_portable}};
    for (const auto& [implementation, filter_row] : implementations) {
        for (const FilterCase& c : filter_cases()) {
            SCOPED_TRACE(std::string(implementation) + ": " + c.name);
            Bytes out(c.cur.size() + 1);
            filter_row(c.prev, c.cur, out);
            EXPECT_EQ(out[0], static_cast<std::uint8_t>(c.expected));
            if (c.expected != png_filter::FilterType::kNone &&
                c.expected != png_filter::FilterType::kSub) {
                EXPECT_THAT(Bytes(out.begin() + 5, out.end()), testing::Each(0));
            }
        }
    }
}

// The vector code against the byte-at-a-time reference, over every row length
// up to a few blocks (so every tail length) and values near the sign edges.
TEST(PngFilter, FastFilterMatchesThePortableOne) {
    Random random(3);
    constexpr std::uint8_t kValues[] = {0, 1, 2, 126, 127, 128, 129, 254, 255};
    for (std::size_t stride = 4; stride <= 4 * 40; stride += 4) {
        for (int round = 0; round < 40; ++round) {
            Bytes prev(stride), cur(stride);
            const bool edges = round % 2 == 0;
            for (std::size_t i = 0; i < stride; ++i) {
                prev[i] = edges ? kValues[random.next() % std::size(kValues)] : random.byte();
                cur[i] = edges ? kValues[random.next() % std::size(kValues)] : random.byte();
                if (round % 5 == 1 && i % 3 == 0) {
                    cur[i] = prev[i];
                }
            }
            Bytes fast(stride + 1), portable(stride + 1);
            png_filter::filter_row(prev, cur, fast);
            png_filter::filter_row_portable(prev, cur, portable);
            ASSERT_EQ(fast, portable) << "stride " << stride << " round " << round;
        }
    }
}

}  // namespace
}  // namespace vantle
