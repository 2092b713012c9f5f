#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace vantle::deflate {

// Where a raw deflate stream's last block begins and where the stream ends, in
// bits from its start (bit k is bit k % 8 of byte k / 8, as deflate counts).
struct StreamEnd {
    std::uint64_t final_block_bit = 0;
    std::uint64_t end_bit = 0;
};

// Walks the blocks of a raw deflate stream (RFC 1951), decoding symbols only as
// far as needed to find each block's end; no data is inflated. Empty when the
// stream is malformed or cut short.
[[nodiscard]] std::optional<StreamEnd> find_stream_end(std::span<const std::uint8_t> stream);

}  // namespace vantle::deflate
