#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "support/deflate_piece.h"

namespace vantle::deflate {
namespace {

// zlib counts in uInt (32 bits), so larger buffers go through in pieces.
constexpr std::size_t kMaxStep = std::size_t{1} << 30;
constexpr std::size_t kWindow = 32768;
constexpr int kRawWindowBits = -15;
constexpr int kMemoryLevel = 8;

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

const std::size_t kHistoryBytes = kWindow;
// zlib's own default; zlib's faster levels give up more in size than
// libdeflate's do, and this build's speed is not measured side by side here.
const int kLevel = 6;

Result<CompressedBytes> compress_piece(std::span<const std::uint8_t> history,
                                       std::span<const std::uint8_t> input, bool last) {
    z_stream stream{};
    const int init =
        deflateInit2(&stream, kLevel, Z_DEFLATED, kRawWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY);
    if (init != Z_OK) {
        return std::unexpected(zlib_error(stream, init, "deflateInit2"));
    }
    const std::unique_ptr<z_stream, DeflateEnd> end(&stream);
    if (!history.empty()) {
        history = history.last(std::min(history.size(), kWindow));
        const int set =
            deflateSetDictionary(&stream, history.data(), static_cast<uInt>(history.size()));
        if (set != Z_OK) {
            return std::unexpected(zlib_error(stream, set, "deflateSetDictionary"));
        }
    }

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
        const bool all_given = consumed + in_step == input.size();
        const int flush = !all_given ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        const int code = ::deflate(&stream, flush);
        consumed += in_step - stream.avail_in;
        out.size += out_step - stream.avail_out;
        if (code == Z_STREAM_END) {
            return out;
        }
        if (code != Z_OK && code != Z_BUF_ERROR) {
            return std::unexpected(zlib_error(stream, code, "deflate"));
        }
        // A sync flush is complete once it leaves output space unused.
        if (flush == Z_SYNC_FLUSH && consumed == input.size() && stream.avail_out != 0) {
            return out;
        }
    }
}

std::uint32_t adler32(std::uint32_t adler, std::span<const std::uint8_t> bytes) {
    uLong sum = adler;
    while (!bytes.empty()) {
        const std::size_t step = std::min(bytes.size(), kMaxStep);
        sum = ::adler32(sum, bytes.data(), static_cast<uInt>(step));
        bytes = bytes.subspan(step);
    }
    return static_cast<std::uint32_t>(sum);
}

}  // namespace vantle::deflate
