#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "support/error.h"

namespace vantle::deflate {

// Bytes in a buffer that is not zeroed first: a compressor's output buffer can
// be tens of megabytes, most of which is never written.
struct CompressedBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;

    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {data.get(), size}; }
};

// The deflate library the build links (libdeflate, or zlib in the MinGW-w64
// build); exactly one implementation of these two functions is compiled.
//
// `compress_piece` compresses `input` into a piece of a raw deflate stream
// (RFC 1951) at the library's level `kLevel`. The piece ends on a byte boundary. When
// `last` is false it ends with a non-final block, so that the next piece can
// follow it directly and several pieces, compressed side by side, make one
// stream; when `last` is true its final block ends the stream. `history` is the
// data just before `input` (the end of the previous piece's input, up to
// 32 KiB), which the compressor may refer back to, or may ignore. Fails with the
// library's reason; may throw std::bad_alloc.
[[nodiscard]] Result<CompressedBytes> compress_piece(std::span<const std::uint8_t> history,
                                                     std::span<const std::uint8_t> input,
                                                     bool last);

// The compression level (1 fastest to 9 smallest, as zlib counts) that
// `compress_piece` works at, chosen for this library from measurements.
extern const int kLevel;

// How much of the data before a piece `compress_piece` can make use of: 0 when
// the library ignores the history, so that callers need not prepare one.
extern const std::size_t kHistoryBytes;

// The Adler-32 checksum of a zlib stream (RFC 1950) continued over `bytes`
// (start with 1).
[[nodiscard]] std::uint32_t adler32(std::uint32_t adler, std::span<const std::uint8_t> bytes);

// The Adler-32 of two pieces of data from the checksums of each and the length
// of the second.
[[nodiscard]] std::uint32_t adler32_combine(std::uint32_t first, std::uint32_t second,
                                            std::uint64_t second_length);

}  // namespace vantle::deflate
