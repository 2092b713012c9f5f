// Picture sizes (any 32-bit width and height) into the preview's size rule,
// and, for pictures small enough to hold, into make_preview itself: the longer
// side becomes exactly the limit, the shorter keeps the aspect ratio to the
// nearest pixel and never drops below one, and the preview's PNG states that
// size and holds only colours between the picture's darkest and lightest.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "automation/mcp/preview.h"
#include "png_reader.h"

namespace {

using vantle::mcp::kPreviewLimit;

[[noreturn]] void fail(const char* what, std::uint32_t width, std::uint32_t height,
                       const std::string& detail = {}) {
    std::fprintf(stderr, "preview fuzzer: %s (%ux%u) %s\n", what, width, height, detail.c_str());
    std::abort();
}

// The shorter side's exact share of the limit, and whether `side` rounds it.
bool rounds(std::uint32_t side, std::uint32_t shorter, std::uint32_t longer) {
    const long double exact = static_cast<long double>(shorter) * kPreviewLimit / longer;
    if (exact < 0.5L) {
        return side == 1;
    }
    // Within half a pixel; the rule divides first, so allow for that rounding at exact halves.
    return std::fabs(static_cast<long double>(side) - exact) <= 0.5L + 1e-9L;
}

void check_size(std::uint32_t width, std::uint32_t height) {
    const vantle::mcp::PreviewSize size = vantle::mcp::preview_size(width, height);
    const std::uint32_t longer = std::max(width, height);
    if (longer <= kPreviewLimit) {
        if (size.width != width || size.height != height) {
            fail("a small picture was scaled", width, height);
        }
        return;
    }
    const bool wide = width >= height;
    const std::uint32_t long_side = wide ? size.width : size.height;
    const std::uint32_t short_side = wide ? size.height : size.width;
    if (long_side != kPreviewLimit) {
        fail("the longer side is not the limit", width, height, std::to_string(long_side));
    }
    if (short_side < 1 || short_side > kPreviewLimit) {
        fail("the shorter side is out of range", width, height, std::to_string(short_side));
    }
    if (!rounds(short_side, std::min(width, height), longer)) {
        fail("the shorter side does not keep the aspect ratio", width, height,
             std::to_string(short_side));
    }
}

void check_bounded(const vantle::RgbaImage& picture, const vantle::mcp::Preview& unbounded,
                   std::size_t room) {
    const std::uint32_t w = picture.width;
    const std::uint32_t h = picture.height;
    const auto bounded =
        vantle::mcp::make_preview(picture, [room](vantle::mcp::PreviewSize) { return room; });
    if (!bounded) {
        fail("make_preview failed under a bound", w, h, bounded.error().render());
    }
    if (unbounded.png.size() <= room) {
        if (bounded->png != unbounded.png) {
            fail("a preview within its bound changed", w, h);
        }
        return;
    }
    const std::uint32_t longer = std::max(bounded->width, bounded->height);
    if (bounded->png.size() > room && longer != 1) {
        fail("a bounded preview passes its bound", w, h, std::to_string(room));
    }
    // Only a preview already one pixel long has nowhere smaller to go.
    const std::uint32_t unbounded_longer = std::max(unbounded.width, unbounded.height);
    if ((longer >= unbounded_longer && unbounded_longer > 1) ||
        vantle::mcp::preview_size(w, h, longer) !=
            vantle::mcp::PreviewSize{bounded->width, bounded->height}) {
        fail("a bounded preview is not of the rule's size for its longer side", w, h,
             std::to_string(bounded->width) + "x" + std::to_string(bounded->height));
    }
    std::string why;
    const auto decoded = vantle::fuzzing::read_png(bounded->png, why);
    if (!decoded || decoded->width != bounded->width || decoded->height != bounded->height) {
        fail("a bounded preview's PNG does not read back at its size", w, h, why);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) {
        return 0;
    }
    auto u32 = [&](std::size_t at) {
        return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) |
               (std::uint32_t{data[at + 2]} << 8) | std::uint32_t{data[at + 3]};
    };
    const std::uint32_t width = u32(0);
    const std::uint32_t height = u32(4);
    check_size(width, height);
    check_size(height, width);

    // A picture to preview: the same sizes folded into something that fits in
    // memory, sometimes just over the limit where the rounding is delicate.
    std::uint32_t w = width % 4000 + 1;
    std::uint32_t h = height % 4000 + 1;
    if (std::size_t{w} * h > (std::size_t{1} << 14)) {
        if (w >= h) {
            h = std::max<std::uint32_t>(1, static_cast<std::uint32_t>((std::size_t{1} << 14) / w));
        } else {
            w = std::max<std::uint32_t>(1, static_cast<std::uint32_t>((std::size_t{1} << 14) / h));
        }
    }
    vantle::RgbaImage picture{w, h, {}};
    picture.pixels.resize(std::size_t{w} * h * 4);
    const std::size_t pixel_bytes = size - 8;
    std::array<std::uint8_t, 4> lowest{255, 255, 255, 255};
    std::array<std::uint8_t, 4> highest{0, 0, 0, 0};
    for (std::size_t i = 0; i < picture.pixels.size(); ++i) {
        const std::uint8_t value =
            pixel_bytes == 0 ? std::uint8_t{128} : data[8 + (i / 4 * 4 + i % 4) % pixel_bytes];
        picture.pixels[i] = value;
        lowest[i % 4] = std::min(lowest[i % 4], value);
        highest[i % 4] = std::max(highest[i % 4], value);
    }
    const auto preview = vantle::mcp::make_preview(picture);
    if (!preview) {
        fail("make_preview failed", w, h, preview.error().render());
    }
    const vantle::mcp::PreviewSize expected = vantle::mcp::preview_size(w, h);
    if (preview->width != expected.width || preview->height != expected.height) {
        fail("the preview is not of the rule's size", w, h);
    }
    std::string why;
    const auto decoded = vantle::fuzzing::read_png(preview->png, why);
    if (!decoded) {
        fail("the preview's PNG does not read back", w, h, why);
    }
    if (decoded->width != preview->width || decoded->height != preview->height) {
        fail("the preview's PNG states another size", w, h);
    }
    check_bounded(picture, *preview, (width ^ height) % (preview->png.size() + 64));
    if (preview->width == w && preview->height == h) {
        if (decoded->rgba != picture.pixels) {
            fail("an unscaled preview changed pixels", w, h);
        }
        return 0;
    }
    for (std::size_t i = 0; i < decoded->rgba.size(); ++i) {
        if (decoded->rgba[i] < lowest[i % 4] || decoded->rgba[i] > highest[i % 4]) {
            fail("the scaled preview has a colour the picture does not span", w, h);
        }
    }
    return 0;
}
