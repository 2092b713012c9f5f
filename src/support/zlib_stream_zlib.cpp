#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "support/zlib_stream.h"

namespace vantle {
namespace {

// zlib counts in uInt (32 bits), so larger buffers go through in pieces.
constexpr std::size_t kMaxStep = std::size_t{1} << 30;

struct DeflateEnd {
    void operator()(z_stream* stream) const { deflateEnd(stream); }
};

Error zlib_error(const z_stream& stream, int code, const char* what) {
    std::string text = std::string(what) + " failed (zlib " + std::to_string(code) + ")";
    if (stream.msg != nullptr) {
        text += ": ";
        text += stream.msg;
    }
    return Error(std::move(text));
}

}  // namespace

Result<CompressedBytes> compress_zlib_stream(std::span<const std::uint8_t> input) {
    z_stream stream{};
    const int init = deflateInit(&stream, Z_DEFAULT_COMPRESSION);
    if (init != Z_OK) {
        return std::unexpected(zlib_error(stream, init, "deflateInit"));
    }
    const std::unique_ptr<z_stream, DeflateEnd> end(&stream);

    // Screenshots shrink several times over; the buffer grows when a picture
    // does not.
    std::size_t capacity = input.size() / 4 + 1024;
    CompressedBytes out{std::unique_ptr<std::uint8_t[]>(new std::uint8_t[capacity]), 0};
    std::size_t consumed = 0;
    for (;;) {
        if (out.size == capacity) {
            const std::size_t grown = capacity * 2;
            std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[grown]);
            std::memcpy(bigger.get(), out.data.get(), out.size);
            out.data = std::move(bigger);
            capacity = grown;
        }
        const std::size_t in_step = std::min(input.size() - consumed, kMaxStep);
        const std::size_t out_step = std::min(capacity - out.size, kMaxStep);
        // zlib does not write through next_in; its type only predates const.
        stream.next_in = const_cast<Bytef*>(input.data() + consumed);
        stream.avail_in = static_cast<uInt>(in_step);
        stream.next_out = out.data.get() + out.size;
        stream.avail_out = static_cast<uInt>(out_step);
        const bool last = consumed + in_step == input.size();
        const int code = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
        consumed += in_step - stream.avail_in;
        out.size += out_step - stream.avail_out;
        if (code == Z_STREAM_END) {
            return out;
        }
        if (code != Z_OK && code != Z_BUF_ERROR) {
            return std::unexpected(zlib_error(stream, code, "deflate"));
        }
    }
}

}  // namespace vantle
