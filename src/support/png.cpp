#include "support/png.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "support/png_filter.h"
#include "support/png_internal.h"
#include "support/zlib_stream.h"

namespace vantle {
namespace png_internal {
namespace {

constexpr std::uint64_t kMaxSide = 0x7fffffff;
constexpr std::size_t kPixelBytes = 4;
constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::size_t kIhdrLength = 13;
constexpr std::uint8_t kBitDepth = 8;
constexpr std::uint8_t kColourTypeRgba = 6;
// Length, type and CRC around every chunk's data.
constexpr std::size_t kChunkOverhead = 12;
// Below this many raw bytes a second thread costs more than it saves.
constexpr std::uint64_t kMinBytesPerThread = 1 << 20;
constexpr unsigned kMaxThreads = 4;

// Slicing-by-8 tables: table[0] is the classic byte table, table[k] advances a
// byte through k more zero bytes, so eight input bytes cost eight lookups.
constexpr auto kCrcTables = [] {
    std::array<std::array<std::uint32_t, 256>, 8> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xedb88320u ^ (c >> 1) : c >> 1;
        }
        table[0][n] = c;
    }
    for (std::size_t k = 1; k < table.size(); ++k) {
        for (std::size_t n = 0; n < 256; ++n) {
            const std::uint32_t previous = table[k - 1][n];
            table[k][n] = (previous >> 8) ^ table[0][previous & 0xff];
        }
    }
    return table;
}();

std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void put_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// Writes one chunk at `p` and returns the position after it.
std::uint8_t* put_chunk(std::uint8_t* p, const char (&type)[5],
                        std::span<const std::uint8_t> data) {
    put_be32(p, static_cast<std::uint32_t>(data.size()));
    std::memcpy(p + 4, type, 4);
    if (!data.empty()) {
        std::memcpy(p + 8, data.data(), data.size());
    }
    const std::uint32_t crc = crc32(0, {p + 4, data.size() + 4});
    put_be32(p + 8 + data.size(), crc);
    return p + kChunkOverhead + data.size();
}

Error size_error(std::uint32_t width, std::uint32_t height, const std::string& reason) {
    return Error("cannot encode a PNG of " + std::to_string(width) + "x" + std::to_string(height) +
                 " pixels: " + reason);
}

// Rows [first, last) of the picture, each as its filter type byte and filtered bytes.
void filter_rows(std::span<const std::uint8_t> rgba, std::size_t stride, std::size_t first,
                 std::size_t last, std::span<const std::uint8_t> zero_row, std::uint8_t* out) {
    for (std::size_t row = first; row < last; ++row) {
        const std::span<const std::uint8_t> prev =
            row == 0 ? zero_row : rgba.subspan((row - 1) * stride, stride);
        png_filter::filter_row(prev, rgba.subspan(row * stride, stride),
                               {out + row * (stride + 1), stride + 1});
    }
}

// Splits the rows into bands filtered side by side; rows depend only on the raw
// picture, so the bands need no coordination.
void filter_picture(std::span<const std::uint8_t> rgba, std::size_t stride, std::size_t height,
                    std::uint8_t* out) {
    const std::vector<std::uint8_t> zero_row(stride, 0);
    const std::uint64_t raw_bytes = static_cast<std::uint64_t>(stride) * height;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t bands = static_cast<std::size_t>(std::min<std::uint64_t>(
        {cores, kMaxThreads, height, std::max<std::uint64_t>(1, raw_bytes / kMinBytesPerThread)}));

    std::vector<std::thread> helpers;
    helpers.reserve(bands);
    std::size_t first_own_band = 0;
    for (std::size_t band = 1; band < bands; ++band) {
        const std::size_t first = height * band / bands;
        const std::size_t last = height * (band + 1) / bands;
        try {
            helpers.emplace_back(filter_rows, rgba, stride, first, last,
                                 std::span<const std::uint8_t>(zero_row), out);
        } catch (const std::system_error&) {
            // No thread to be had: this thread filters the remaining bands too.
            first_own_band = band;
            break;
        }
    }
    const std::size_t own_last = first_own_band == 0 ? height / bands : height;
    filter_rows(rgba, stride, 0, own_last, zero_row, out);
    if (first_own_band != 0) {
        filter_rows(rgba, stride, height * first_own_band / bands, height, zero_row, out);
    }
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

}  // namespace

std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    const auto& t = kCrcTables;
    crc = ~crc;
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t lo = load_le32(p) ^ crc;
        const std::uint32_t hi = load_le32(p + 4);
        crc = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
              t[3][hi & 0xff] ^ t[2][(hi >> 8) & 0xff] ^ t[1][(hi >> 16) & 0xff] ^ t[0][hi >> 24];
    }
    for (; n > 0; --n, ++p) {
        crc = t[0][(crc ^ *p) & 0xff] ^ (crc >> 8);
    }
    return ~crc;
}

Result<std::vector<std::uint8_t>> encode_png(std::uint32_t width, std::uint32_t height,
                                             std::span<const std::uint8_t> rgba,
                                             std::size_t max_idat_length) {
    if (width == 0 || height == 0) {
        return std::unexpected(size_error(width, height, "a PNG needs at least one pixel"));
    }
    if (width > kMaxSide || height > kMaxSide) {
        return std::unexpected(
            size_error(width, height, "a PNG side may not exceed 2147483647 pixels"));
    }
    // Neither product below can wrap in 64 bits: (2^33 - 4) * (2^31 - 1) + 2^31 < 2^64.
    const std::uint64_t stride64 = std::uint64_t{width} * kPixelBytes;
    const std::uint64_t needed = stride64 * height;
    if (needed > rgba.size()) {
        return std::unexpected(size_error(width, height,
                                          "the picture has " + std::to_string(rgba.size()) +
                                              " bytes but needs " + std::to_string(needed)));
    }
    const std::uint64_t filtered_size64 = needed + height;
    if (filtered_size64 > std::numeric_limits<std::size_t>::max()) {
        return std::unexpected(size_error(width, height, "too large for this system's memory"));
    }
    const auto stride = static_cast<std::size_t>(stride64);
    const auto filtered_size = static_cast<std::size_t>(filtered_size64);
    max_idat_length = std::clamp<std::size_t>(max_idat_length, 1, kMaxChunkLength);

    try {
        // Not zeroed first: every byte is written by the filter.
        const std::unique_ptr<std::uint8_t[]> filtered(new std::uint8_t[filtered_size]);
        filter_picture(rgba, stride, height, filtered.get());

        Result<CompressedBytes> compressed = compress_zlib_stream({filtered.get(), filtered_size});
        if (!compressed) {
            return std::unexpected(size_error(width, height, compressed.error().render()));
        }
        const std::span<const std::uint8_t> stream = compressed->bytes();

        const std::size_t idat_count = (stream.size() + max_idat_length - 1) / max_idat_length;
        std::vector<std::uint8_t> png(kSignature.size() + (kChunkOverhead + kIhdrLength) +
                                      idat_count * kChunkOverhead + stream.size() + kChunkOverhead);
        std::uint8_t* p = std::copy(kSignature.begin(), kSignature.end(), png.data());

        std::array<std::uint8_t, kIhdrLength> ihdr{};
        put_be32(ihdr.data(), width);
        put_be32(ihdr.data() + 4, height);
        ihdr[8] = kBitDepth;
        ihdr[9] = kColourTypeRgba;
        // Bytes 10 to 12 stay zero: deflate, adaptive filtering, no interlace.
        p = put_chunk(p, "IHDR", ihdr);
        for (std::size_t offset = 0; offset < stream.size(); offset += max_idat_length) {
            p = put_chunk(
                p, "IDAT",
                stream.subspan(offset, std::min(max_idat_length, stream.size() - offset)));
        }
        put_chunk(p, "IEND", {});
        return png;
    } catch (const std::bad_alloc&) {
        return std::unexpected(size_error(width, height, "out of memory"));
    }
}

}  // namespace png_internal

Result<std::vector<std::uint8_t>> encode_png(std::uint32_t width, std::uint32_t height,
                                             std::span<const std::uint8_t> rgba) {
    return png_internal::encode_png(width, height, rgba, png_internal::kMaxChunkLength);
}

}  // namespace vantle
