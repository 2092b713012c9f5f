#include "support/png.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "support/deflate_piece.h"
#include "support/png_filter.h"
#include "support/png_internal.h"

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
// Rows are filtered and compressed in pieces of about this many filtered bytes:
// few enough for a piece's rows to stay in a core's cache, so that nothing of
// the picture's size is allocated besides the picture itself (fresh memory is
// what a large picture costs most).
constexpr std::size_t kPieceBytes = 256 * 1024;
// Below this many raw bytes a second thread costs more than it saves.
constexpr std::uint64_t kMinBytesPerThread = 1 << 20;
constexpr unsigned kMaxThreads = 8;
// A zlib stream's header: deflate with a 32 KiB window, and the level class the
// compressor's level falls in (informative only; FCHECK keeps the pair a
// multiple of 31).
std::array<std::uint8_t, 2> zlib_header(int level) {
    const unsigned level_class = level <= 1 ? 0 : level <= 5 ? 1 : level == 6 ? 2 : 3;
    const unsigned cmf = 0x78;
    unsigned flg = level_class << 6;
    flg += 31 - (cmf * 256 + flg) % 31;
    return {static_cast<std::uint8_t>(cmf), static_cast<std::uint8_t>(flg)};
}

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

// Runs task(0) .. task(count - 1), task(0) on this thread and the others on
// threads of their own where the system gives them.
template <typename Task>
void run_side_by_side(std::size_t count, const Task& task) {
    std::vector<std::thread> helpers;
    helpers.reserve(count);
    std::size_t inline_from = count;
    for (std::size_t k = 1; k < count; ++k) {
        try {
            helpers.emplace_back([&task, k] { task(k); });
        } catch (const std::system_error&) {
            inline_from = k;
            break;
        }
    }
    task(0);
    for (std::size_t k = inline_from; k < count; ++k) {
        task(k);
    }
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

std::size_t choose_pieces(std::size_t row_bytes, std::size_t height, unsigned requested) {
    if (requested != 0) {
        return std::min<std::size_t>(requested, height);
    }
    const std::size_t rows = std::max<std::size_t>(1, kPieceBytes / row_bytes);
    return (height + rows - 1) / rows;
}

std::size_t choose_threads(std::size_t stride, std::size_t height, std::size_t pieces) {
    const std::uint64_t raw_bytes = static_cast<std::uint64_t>(stride) * height;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<std::size_t>(std::min<std::uint64_t>(
        {cores, kMaxThreads, pieces, std::max<std::uint64_t>(1, raw_bytes / kMinBytesPerThread)}));
}

// The filtered picture (a filter type byte before each row) as the zlib
// stream's pieces, one per run of rows. Rows filter independently (each needs
// only its raw row and the one above), so every piece is filtered into its
// worker's own small buffer, together with the rows just before it when the
// deflate library can look back into them, and compressed at once.
struct Compressed {
    std::vector<deflate::CompressedBytes> pieces;
    std::uint32_t adler = 1;
};

Result<Compressed> filter_and_compress(std::span<const std::uint8_t> rgba, std::size_t stride,
                                       std::size_t height, std::size_t piece_count,
                                       std::size_t threads) {
    const std::vector<std::uint8_t> zero_row(stride, 0);
    const std::size_t row_bytes = stride + 1;
    const std::size_t history_rows = (deflate::kHistoryBytes + row_bytes - 1) / row_bytes;
    auto first_row = [&](std::size_t piece) { return height * piece / piece_count; };

    struct Piece {
        Result<deflate::CompressedBytes> bytes = deflate::CompressedBytes{};
        std::uint32_t adler = 1;
        std::size_t length = 0;
    };
    std::vector<Piece> pieces(piece_count);
    std::atomic<std::size_t> next{0};
    run_side_by_side(threads, [&](std::size_t) {
        std::vector<std::uint8_t> filtered;
        for (std::size_t k = next.fetch_add(1); k < piece_count; k = next.fetch_add(1)) {
            const std::size_t begin = first_row(k);
            const std::size_t end = first_row(k + 1);
            const std::size_t from = begin - std::min(begin, history_rows);
            try {
                filtered.resize((end - from) * row_bytes);
            } catch (const std::bad_alloc&) {
                pieces[k].bytes = std::unexpected(Error("out of memory"));
                continue;
            }
            for (std::size_t row = from; row < end; ++row) {
                const std::span<const std::uint8_t> prev =
                    row == 0 ? std::span<const std::uint8_t>(zero_row)
                             : rgba.subspan((row - 1) * stride, stride);
                png_filter::filter_row(prev, rgba.subspan(row * stride, stride),
                                       {filtered.data() + (row - from) * row_bytes, row_bytes});
            }
            const std::span<const std::uint8_t> history(filtered.data(),
                                                        (begin - from) * row_bytes);
            const std::span<const std::uint8_t> input(filtered.data() + history.size(),
                                                      (end - begin) * row_bytes);
            try {
                pieces[k].bytes = deflate::compress_piece(history, input, k + 1 == piece_count);
            } catch (const std::bad_alloc&) {
                pieces[k].bytes = std::unexpected(Error("out of memory"));
            }
            pieces[k].adler = deflate::adler32(1, input);
            pieces[k].length = input.size();
        }
    });

    Compressed compressed;
    compressed.pieces.reserve(piece_count);
    for (Piece& piece : pieces) {
        if (!piece.bytes) {
            return std::unexpected(std::move(piece.bytes).error());
        }
        compressed.adler = deflate::adler32_combine(compressed.adler, piece.adler, piece.length);
        compressed.pieces.push_back(std::move(*piece.bytes));
    }
    return compressed;
}

// Writes the parts, one after another, as the data of IDAT chunks of at most
// `max_length` bytes each.
std::uint8_t* put_idat_chunks(std::uint8_t* p, std::span<const std::span<const std::uint8_t>> parts,
                              std::size_t max_length) {
    std::size_t total = 0;
    for (const std::span<const std::uint8_t> part : parts) {
        total += part.size();
    }
    std::size_t part = 0;
    std::size_t part_offset = 0;
    while (total > 0) {
        const std::size_t length = std::min(total, max_length);
        put_be32(p, static_cast<std::uint32_t>(length));
        std::memcpy(p + 4, "IDAT", 4);
        std::uint8_t* data = p + 8;
        for (std::size_t left = length; left > 0;) {
            const std::size_t step = std::min(left, parts[part].size() - part_offset);
            std::memcpy(data, parts[part].data() + part_offset, step);
            data += step;
            left -= step;
            part_offset += step;
            if (part_offset == parts[part].size()) {
                ++part;
                part_offset = 0;
            }
        }
        put_be32(data, crc32(0, {p + 4, length + 4}));
        p = data + 4;
        total -= length;
    }
    return p;
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
                                             const EncodeOptions& options) {
    if (width == 0 || height == 0) {
        return std::unexpected(size_error(width, height, "a PNG needs at least one pixel"));
    }
    if (width > kMaxSide || height > kMaxSide) {
        return std::unexpected(
            size_error(width, height, "a PNG side may not exceed 2147483647 pixels"));
    }
    // Neither sum nor product below can wrap in 64 bits:
    // (2^33 - 4) * (2^31 - 1) + 2^31 < 2^64.
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
    const std::size_t max_idat_length =
        std::clamp<std::size_t>(options.max_idat_length, 1, kMaxChunkLength);

    try {
        const std::size_t pieces = choose_pieces(stride + 1, height, options.bands);
        Result<Compressed> compressed = filter_and_compress(rgba, stride, height, pieces,
                                                            choose_threads(stride, height, pieces));
        if (!compressed) {
            return std::unexpected(size_error(width, height, compressed.error().render()));
        }

        std::array<std::uint8_t, 4> adler{};
        put_be32(adler.data(), compressed->adler);
        std::vector<std::span<const std::uint8_t>> parts;
        const std::array<std::uint8_t, 2> zlib = zlib_header(deflate::kLevel);
        parts.emplace_back(zlib);
        for (const deflate::CompressedBytes& piece : compressed->pieces) {
            parts.push_back(piece.bytes());
        }
        parts.emplace_back(adler);
        std::size_t stream_size = 0;
        for (const std::span<const std::uint8_t> part : parts) {
            stream_size += part.size();
        }

        const std::size_t idat_count = (stream_size + max_idat_length - 1) / max_idat_length;
        std::vector<std::uint8_t> png(kSignature.size() + (kChunkOverhead + kIhdrLength) +
                                      idat_count * kChunkOverhead + stream_size + kChunkOverhead);
        std::uint8_t* p = std::copy(kSignature.begin(), kSignature.end(), png.data());

        std::array<std::uint8_t, kIhdrLength> ihdr{};
        put_be32(ihdr.data(), width);
        put_be32(ihdr.data() + 4, height);
        ihdr[8] = kBitDepth;
        ihdr[9] = kColourTypeRgba;
        // Bytes 10 to 12 stay zero: deflate, adaptive filtering, no interlace.
        p = put_chunk(p, "IHDR", ihdr);
        p = put_idat_chunks(p, parts, max_idat_length);
        put_chunk(p, "IEND", {});
        return png;
    } catch (const std::bad_alloc&) {
        return std::unexpected(size_error(width, height, "out of memory"));
    }
}

}  // namespace png_internal

Result<std::vector<std::uint8_t>> encode_png(std::uint32_t width, std::uint32_t height,
                                             std::span<const std::uint8_t> rgba) {
    return png_internal::encode_png(width, height, rgba, {});
}

}  // namespace vantle
