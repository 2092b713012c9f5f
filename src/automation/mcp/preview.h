#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/records.h"
#include "support/error.h"

namespace vantle::mcp {

// The longer side of an inline preview, in pixels.
inline constexpr std::uint32_t kPreviewLimit = 1568;

struct PreviewSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    friend bool operator==(const PreviewSize&, const PreviewSize&) = default;
};

struct Preview {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> png;  // a whole PNG file
};

// The picture's own size when its longer side is at most `limit`, else the
// size that makes the longer side `limit` and keeps the aspect ratio to the
// nearest pixel, never below 1.
[[nodiscard]] PreviewSize preview_size(std::uint32_t width, std::uint32_t height,
                                       std::uint32_t limit = kPreviewLimit);

// The most PNG bytes a preview of a given size may take, so that the reply
// that carries it stays within its bound.
using PngRoom = std::function<std::size_t(PreviewSize)>;

// The bounded copy of a captured picture that goes back inline, as PNG: the
// picture at preview_size, or, when that PNG takes more than `room` allows,
// the picture scaled further (same filter, same rounding) until it fits, each
// next size chosen from the bytes per pixel of the last attempt. A picture
// whose 1-pixel copy does not fit either gets that copy. No room: no bound.
[[nodiscard]] Result<Preview> make_preview(const RgbaImage& picture, const PngRoom& room = {});

// The first attempt of make_preview alone: the PNG at preview_size.
[[nodiscard]] Result<std::vector<std::uint8_t>> first_preview_png(const RgbaImage& picture);

// make_preview with its first attempt already made (by first_preview_png, say
// on another thread while the file was written): the same preview.
[[nodiscard]] Result<Preview> make_preview(const RgbaImage& picture, const PngRoom& room,
                                           Result<std::vector<std::uint8_t>> first_png);

// "Preview scaled to WxH; the WxH file at <path> keeps every pixel." or, when
// unscaled, "WxH capture written to <path>".
[[nodiscard]] std::string preview_summary(const Preview& preview, const RgbaImage& picture,
                                          const std::string& path);

// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks).
[[nodiscard]] std::string base64_encode(std::span<const std::uint8_t> bytes);

}  // namespace vantle::mcp
