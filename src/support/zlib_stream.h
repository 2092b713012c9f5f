#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "support/error.h"

namespace vantle {

// Bytes in a buffer that is not zeroed first: the compressor's output can be
// tens of megabytes, most of which is never written.
struct CompressedBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;

    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {data.get(), size}; }
};

// `input` as one complete zlib stream (RFC 1950: header, deflate data, Adler-32)
// at the default level, 6. The build links exactly one implementation (libdeflate
// or zlib). Fails with the library's reason; may throw std::bad_alloc.
[[nodiscard]] Result<CompressedBytes> compress_zlib_stream(std::span<const std::uint8_t> input);

}  // namespace vantle
