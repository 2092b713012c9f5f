#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/error.h"

namespace vantle::png_internal {

// The largest chunk the format allows, 2^31 - 1 bytes.
inline constexpr std::size_t kMaxChunkLength = 0x7fffffff;

// `encode_png` with the compressed data cut into IDAT chunks of at most
// `max_idat_length` bytes (at least 1), so tests can reach the split that only
// multi-gigabyte pictures need in real use.
[[nodiscard]] Result<std::vector<std::uint8_t>> encode_png(std::uint32_t width,
                                                           std::uint32_t height,
                                                           std::span<const std::uint8_t> rgba,
                                                           std::size_t max_idat_length);

// The CRC-32 of PNG chunks (ISO 3309, as in zlib), continued from `crc`
// (0 to start).
[[nodiscard]] std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes);

}  // namespace vantle::png_internal
