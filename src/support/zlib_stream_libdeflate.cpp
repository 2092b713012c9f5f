#include <libdeflate.h>

#include "support/zlib_stream.h"

namespace vantle {
namespace {

constexpr int kDefaultLevel = 6;

struct FreeCompressor {
    void operator()(libdeflate_compressor* compressor) const {
        libdeflate_free_compressor(compressor);
    }
};

}  // namespace

Result<CompressedBytes> compress_zlib_stream(std::span<const std::uint8_t> input) {
    const std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor(
        libdeflate_alloc_compressor(kDefaultLevel));
    if (!compressor) {
        return std::unexpected(Error("the deflate compressor could not be created"));
    }
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), input.size());
    CompressedBytes out{std::unique_ptr<std::uint8_t[]>(new std::uint8_t[bound]), 0};
    out.size = libdeflate_zlib_compress(compressor.get(), input.data(), input.size(),
                                        out.data.get(), bound);
    if (out.size == 0) {
        return std::unexpected(Error("deflate output did not fit its bound"));
    }
    return out;
}

}  // namespace vantle
