#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/error.h"

namespace vantle::png_internal {

// The largest chunk the format allows, 2^31 - 1 bytes.
inline constexpr std::size_t kMaxChunkLength = 0x7fffffff;

// How `encode_png` splits its work; the defaults are what it uses.
struct EncodeOptions {
    // The compressed data goes into IDAT chunks of at most this many bytes (at
    // least 1). Only pictures of gigabytes need more than one in real use.
    std::size_t max_idat_length = kMaxChunkLength;
    // How many pieces (runs of rows) the picture is filtered and compressed in,
    // side by side on the processors there are; 0 lets the encoder choose from
    // the picture's size. Never more than the picture's rows.
    unsigned bands = 0;
};

[[nodiscard]] Result<std::vector<std::uint8_t>> encode_png(std::uint32_t width,
                                                           std::uint32_t height,
                                                           std::span<const std::uint8_t> rgba,
                                                           const EncodeOptions& options);

// The CRC-32 of PNG chunks (ISO 3309, as in zlib), continued from `crc`
// (0 to start).
[[nodiscard]] std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes);

}  // namespace vantle::png_internal
