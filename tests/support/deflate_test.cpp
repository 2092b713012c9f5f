#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/deflate_blocks.h"
#include "support/deflate_piece.h"

namespace vantle::deflate {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes sample(std::size_t size, std::uint32_t seed, bool compressible) {
    Bytes bytes(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        const auto noise = static_cast<std::uint8_t>(state >> 24);
        bytes[i] =
            compressible ? static_cast<std::uint8_t>("screen text "[i % 12] + (noise & 1)) : noise;
    }
    return bytes;
}

// A raw deflate stream made by zlib: `cuts` input offsets where a sync flush
// ends the block so far, then the final block.
Bytes zlib_raw(const Bytes& input, int level, int strategy, const std::vector<std::size_t>& cuts) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    Bytes out(deflateBound(&stream, static_cast<uLong>(input.size())) + 64 * (cuts.size() + 1));
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    std::size_t from = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(input.size());
    for (std::size_t k = 0; k < ends.size(); ++k) {
        stream.next_in = const_cast<Bytef*>(input.data() + from);
        stream.avail_in = static_cast<uInt>(ends[k] - from);
        const bool last = k + 1 == ends.size();
        EXPECT_EQ(::deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH), last ? Z_STREAM_END : Z_OK);
        from = ends[k];
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

Bytes inflate_raw(const Bytes& stream_bytes, std::size_t expected_size) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, -15), Z_OK);
    Bytes out(expected_size + 1);
    stream.next_in = const_cast<Bytef*>(stream_bytes.data());
    stream.avail_in = static_cast<uInt>(stream_bytes.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int code = inflate(&stream, Z_FINISH);
    EXPECT_EQ(code, Z_STREAM_END);
    EXPECT_EQ(stream.avail_in, 0u) << "bytes after the final block";
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

bool bit(const Bytes& bytes, std::uint64_t index) {
    return ((bytes[index / 8] >> (index % 8)) & 1) != 0;
}

TEST(FindStreamEnd, FindsTheFinalBlockOfEveryKind) {
    struct Case {
        std::string name;
        Bytes input;
        int level;
        int strategy;
        std::vector<std::size_t> cuts;
    };
    const Case cases[] = {
        {"dynamic", sample(200000, 1, true), 6, Z_DEFAULT_STRATEGY, {}},
        {"dynamic, flushed into blocks",
         sample(200000, 2, true),
         6,
         Z_DEFAULT_STRATEGY,
         {1000, 70000, 150001}},
        {"fixed", sample(5000, 3, true), 6, Z_FIXED, {2500}},
        {"stored", sample(100000, 4, false), 0, Z_DEFAULT_STRATEGY, {}},
        {"stored, flushed", sample(100000, 5, false), 0, Z_DEFAULT_STRATEGY, {77}},
        {"huffman only over noise", sample(50000, 6, false), 6, Z_HUFFMAN_ONLY, {}},
        {"run lengths", Bytes(300000, 9), 6, Z_RLE, {}},
        {"empty", Bytes{}, 6, Z_DEFAULT_STRATEGY, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes stream = zlib_raw(c.input, c.level, c.strategy, c.cuts);
        const std::optional<StreamEnd> end = find_stream_end(stream);
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ((end->end_bit + 7) / 8, stream.size());
        EXPECT_TRUE(bit(stream, end->final_block_bit));
        // The final block follows every sync flush, each of which ends in
        // 00 00 ff ff (at level 0 the stored data block itself may end it).
        if (!c.cuts.empty() && c.level != 0) {
            EXPECT_GE(end->final_block_bit, 8 * 4);
            const auto at = static_cast<std::size_t>(end->final_block_bit / 8);
            EXPECT_EQ(end->final_block_bit % 8, 0u);
            EXPECT_EQ(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at) - 4,
                            stream.begin() + static_cast<std::ptrdiff_t>(at)),
                      (Bytes{0, 0, 0xff, 0xff}));
        }
    }
}

TEST(FindStreamEnd, RefusesBrokenStreams) {
    const Bytes stream = zlib_raw(sample(100000, 7, true), 6, Z_DEFAULT_STRATEGY, {});
    std::vector<std::pair<std::string, Bytes>> broken = {
        {"nothing", {}},
        {"cut short", Bytes(stream.begin(), stream.end() - 3)},
        {"reserved block type", Bytes{0x07}},
        {"stored length without its complement", Bytes{0x01, 0x05, 0x00, 0x05, 0x00}},
        {"stored block longer than the data", Bytes{0x01, 0x05, 0x00, 0xfa, 0xff, 1, 2}},
    };
    for (const auto& [name, bytes] : broken) {
        EXPECT_FALSE(find_stream_end(bytes).has_value()) << name;
    }
}

TEST(Adler32, CombinesLikeOneRunOverBothParts) {
    const Bytes data = sample(200000, 8, false);
    const uLong whole = ::adler32(1, data.data(), static_cast<uInt>(data.size()));
    EXPECT_EQ(adler32(1, data), whole);
    for (const std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{65521},
                                    std::size_t{65522}, std::size_t{199999}, data.size()}) {
        const std::span<const std::uint8_t> all(data);
        const std::uint32_t first = adler32(1, all.first(split));
        const std::uint32_t second = adler32(1, all.subspan(split));
        EXPECT_EQ(adler32_combine(first, second, data.size() - split), whole) << split;
    }
}

// Pieces compressed one by one, each knowing only the data before it, join
// into a single stream that inflates to all of the input.
TEST(CompressPiece, PiecesJoinIntoOneStream) {
    struct Case {
        std::string name;
        Bytes input;
        std::vector<std::size_t> cuts;
    };
    const Case cases[] = {
        {"one piece", sample(100000, 10, true), {}},
        {"text in three pieces", sample(300000, 11, true), {100000, 200000}},
        {"noise in two pieces", sample(200000, 12, false), {70001}},
        {"tiny pieces", sample(40, 13, true), {1, 2, 7, 20}},
        {"mixed",
         [] {
             Bytes b = sample(50000, 14, false);
             const Bytes text = sample(50000, 15, true);
             b.insert(b.end(), text.begin(), text.end());
             return b;
         }(),
         {50000, 50003}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::size_t> ends = c.cuts;
        ends.push_back(c.input.size());
        Bytes joined;
        std::size_t from = 0;
        const std::span<const std::uint8_t> input(c.input);
        for (std::size_t k = 0; k < ends.size(); ++k) {
            const Result<CompressedBytes> piece = compress_piece(
                input.first(from), input.subspan(from, ends[k] - from), k + 1 == ends.size());
            ASSERT_TRUE(piece.has_value()) << piece.error().render();
            joined.insert(joined.end(), piece->bytes().begin(), piece->bytes().end());
            from = ends[k];
        }
        EXPECT_TRUE(inflate_raw(joined, c.input.size()) == c.input);
    }
}

}  // namespace
}  // namespace vantle::deflate
