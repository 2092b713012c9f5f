// Random sizes and pixels into encode_png; the file must decode (with zlib and
// the PNG row filters undone independently) to exactly the pixels given. A
// size PNG cannot hold and a pixel buffer that is too short must be refused.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "png_reader.h"
#include "support/png.h"

namespace {

[[noreturn]] void fail(const char* what, std::uint32_t width, std::uint32_t height,
                       const std::string& detail = {}) {
    std::fprintf(stderr, "PNG fuzzer: %s (%ux%u) %s\n", what, width, height, detail.c_str());
    std::abort();
}

// Keeps one run quick: pictures up to this many pixels are encoded in full.
constexpr std::size_t kMaxPixels = std::size_t{1} << 14;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) {
        return 0;
    }
    // Byte 0: which sizes; 1-4: width and height; the rest: pixels, repeated as needed.
    const std::uint8_t mode = data[0];
    std::uint32_t width = (std::uint32_t{data[1]} << 8 | data[2]) % 600;
    std::uint32_t height = (std::uint32_t{data[3]} << 8 | data[4]) % 600;
    const std::uint8_t* pixels = data + 5;
    const std::size_t pixel_bytes = size - 5;

    if ((mode & 3) == 3) {
        // Sizes PNG cannot hold, or a zero side, with a buffer of any length.
        const std::uint32_t huge = 0x80000000U + (std::uint32_t{data[1]} << 8 | data[2]);
        const std::uint32_t w = (mode & 4) != 0 ? 0 : huge;
        const std::uint32_t h = (mode & 8) != 0 ? height : huge;
        std::vector<std::uint8_t> buffer(pixels, pixels + pixel_bytes);
        if (vantle::encode_png(w, h, buffer)) {
            fail("a size PNG cannot hold was accepted", w, h);
        }
        if (vantle::encode_png(width, 0, buffer) || vantle::encode_png(0, height, buffer)) {
            fail("a picture without pixels was accepted", width, height);
        }
        return 0;
    }
    width = width == 0 ? 1 : width;
    height = height == 0 ? 1 : height;
    while (std::size_t{width} * height > kMaxPixels) {
        height = height / 2 + 1;
        width = width / 2 + 1;
    }
    const std::size_t needed = std::size_t{width} * height * 4;
    std::vector<std::uint8_t> rgba(needed);
    for (std::size_t i = 0; i < needed; ++i) {
        // Mode 1 repeats the bytes, which gives deflate long matches; the others
        // use them once and pad with a pattern of their own.
        if (pixel_bytes == 0) {
            rgba[i] = static_cast<std::uint8_t>(i * 7);
        } else if ((mode & 3) == 1 || i < pixel_bytes) {
            rgba[i] = pixels[i % pixel_bytes];
        } else {
            rgba[i] = static_cast<std::uint8_t>((i / 4) ^ (i >> 9));
        }
    }

    if ((mode & 0x10) != 0) {
        if (vantle::encode_png(width, height, std::span(rgba.data(), needed - 1))) {
            fail("a pixel buffer one byte short was accepted", width, height);
        }
    }

    const auto png = vantle::encode_png(width, height, rgba);
    if (!png) {
        fail("encoding failed", width, height, png.error().render());
    }
    std::string why;
    const auto decoded = vantle::fuzzing::read_png(*png, why);
    if (!decoded) {
        fail("the file does not read back", width, height, why);
    }
    if (decoded->width != width || decoded->height != height) {
        fail("the file states another size", width, height);
    }
    if (decoded->rgba != rgba) {
        fail("the pixels differ", width, height);
    }
    return 0;
}
