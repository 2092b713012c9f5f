#include <libdeflate.h>

#include <cstring>

#include "support/deflate_blocks.h"
#include "support/deflate_piece.h"

namespace vantle::deflate {
namespace {

// An empty stored block: three header bits, the padding to a byte, then
// LEN = 0 and NLEN = 0xffff.
constexpr std::size_t kRealignBytes = 1 + 4;

struct FreeCompressor {
    void operator()(libdeflate_compressor* compressor) const {
        libdeflate_free_compressor(compressor);
    }
};

// libdeflate always finishes its output with a final block. To let another
// piece follow, clear that block's final bit and close the piece with an empty
// non-final stored block, which also brings it back to a byte boundary (what
// zlib's sync flush writes).
bool make_not_final(CompressedBytes& piece) {
    const std::optional<StreamEnd> end = find_stream_end(piece.bytes());
    if (!end) {
        return false;
    }
    std::uint8_t* bytes = piece.data.get();
    bytes[end->final_block_bit / 8] &=
        static_cast<std::uint8_t>(~(1u << (end->final_block_bit % 8)));
    const auto end_byte = static_cast<std::size_t>(end->end_bit / 8);
    const unsigned used_bits = static_cast<unsigned>(end->end_bit % 8);
    // The stored block's header is zero bits: keep only the bits in use.
    if (used_bits == 0) {
        bytes[end_byte] = 0;
    } else {
        bytes[end_byte] = static_cast<std::uint8_t>(bytes[end_byte] & ((1u << used_bits) - 1));
    }
    // Three header bits after `used_bits` spill into a second byte when more
    // than five bits of the last byte are in use.
    std::size_t at = end_byte + 1;
    if (used_bits > 5) {
        bytes[at++] = 0;
    }
    bytes[at++] = 0x00;
    bytes[at++] = 0x00;
    bytes[at++] = 0xff;
    bytes[at++] = 0xff;
    piece.size = at;
    return true;
}

// A thread's compressor and output buffer, kept for the pieces it compresses
// after the first: a compressor's tables and a bound-sized buffer are far
// larger than a piece of a screenshot compresses to.
struct Workspace {
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor;
    std::unique_ptr<std::uint8_t[]> out;
    std::size_t out_size = 0;
};

}  // namespace

// libdeflate has no preset dictionary.
const std::size_t kHistoryBytes = 0;
// Level 3, measured on RGBA screenshots (benchmarks/x11_compare.py): the lowest
// level whose files of a photographic desktop are no larger than scrot's (0.98x;
// levels 1 and 2 write 1.05x and 1.01x), at about 0.8x scrot's CPU time, where
// level 6 takes about ten times as long as level 1 for a file 0.87x its size.
const int kLevel = 3;

Result<CompressedBytes> compress_piece(std::span<const std::uint8_t> /*history*/,
                                       std::span<const std::uint8_t> input, bool last) {
    thread_local Workspace work;
    if (!work.compressor) {
        work.compressor.reset(libdeflate_alloc_compressor(kLevel));
        if (!work.compressor) {
            return std::unexpected(Error("the deflate compressor could not be created"));
        }
    }
    const std::size_t bound =
        libdeflate_deflate_compress_bound(work.compressor.get(), input.size());
    if (work.out_size < bound) {
        work.out.reset();
        work.out_size = 0;
        work.out.reset(new std::uint8_t[bound]);
        work.out_size = bound;
    }
    const std::size_t size = libdeflate_deflate_compress(work.compressor.get(), input.data(),
                                                         input.size(), work.out.get(), bound);
    if (size == 0) {
        return std::unexpected(Error("deflate output did not fit its bound"));
    }
    // Only the bytes written are kept, with room for the realigning block.
    CompressedBytes piece{
        std::unique_ptr<std::uint8_t[]>(new std::uint8_t[size + kRealignBytes + 1]), size};
    std::memcpy(piece.data.get(), work.out.get(), size);
    if (!last && !make_not_final(piece)) {
        return std::unexpected(Error("libdeflate wrote a stream whose end could not be found"));
    }
    return piece;
}

std::uint32_t adler32(std::uint32_t adler, std::span<const std::uint8_t> bytes) {
    return libdeflate_adler32(adler, bytes.data(), bytes.size());
}

}  // namespace vantle::deflate
