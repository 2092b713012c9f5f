#include "automation/mcp/preview.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "capture/resample.h"
#include "support/png.h"

namespace vantle::mcp {

namespace {

std::uint32_t scaled_side(std::uint32_t side, double factor) {
    // std::round rounds halves away from zero.
    const double value =
        std::clamp(std::round(static_cast<double>(side) * factor), 0.0, 4294967295.0);
    return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(value));
}

}  // namespace

PreviewSize preview_size(std::uint32_t width, std::uint32_t height, std::uint32_t limit) {
    const std::uint32_t longer = std::max(width, height);
    if (longer <= limit) {
        return {width, height};
    }
    // The quotient first, then the product: width * 1568 / longer can round
    // differently at exact halves.
    const double factor = static_cast<double>(limit) / static_cast<double>(longer);
    return {scaled_side(width, factor), scaled_side(height, factor)};
}

namespace {

Result<std::vector<std::uint8_t>> encode_at(const RgbaImage& picture, PreviewSize size) {
    if (size.width == picture.width && size.height == picture.height) {
        return encode_png(picture.width, picture.height, picture.pixels);
    }
    const RgbaImage scaled = resize_triangle(picture, size.width, size.height);
    return encode_png(scaled.width, scaled.height, scaled.pixels);
}

// The longer side of the next, smaller attempt. A copy of the same picture at
// fewer pixels takes about as many bytes per pixel as the last one did (a
// little more, as detail packs closer together), so aim somewhat under the
// room; and always shrink by a few per cent, so the attempts are few even
// where the PNG's fixed overhead makes the estimate useless.
std::uint32_t next_limit(PreviewSize size, std::size_t png_bytes, std::size_t room) {
    const double pixels = static_cast<double>(size.width) * static_cast<double>(size.height);
    const double per_pixel = static_cast<double>(png_bytes) / pixels;
    const double wanted_pixels = 0.9 * static_cast<double>(room) / per_pixel;
    const double shrink = std::min(std::sqrt(wanted_pixels / pixels), 0.95);
    const std::uint32_t longer = std::max(size.width, size.height);
    return std::clamp<std::uint32_t>(
        static_cast<std::uint32_t>(std::floor(static_cast<double>(longer) * shrink)), 1,
        longer - 1);
}

}  // namespace

Result<std::vector<std::uint8_t>> first_preview_png(const RgbaImage& picture) {
    return encode_at(picture, preview_size(picture.width, picture.height));
}

Result<Preview> make_preview(const RgbaImage& picture, const PngRoom& room) {
    return make_preview(picture, room, first_preview_png(picture));
}

Result<Preview> make_preview(const RgbaImage& picture, const PngRoom& room,
                             Result<std::vector<std::uint8_t>> first_png) {
    PreviewSize size = preview_size(picture.width, picture.height);
    for (bool first = true;; first = false) {
        auto png = first ? std::move(first_png) : encode_at(picture, size);
        if (!png) {
            return std::unexpected(std::move(png.error()));
        }
        const std::size_t allowed = room ? room(size) : SIZE_MAX;
        if (png->size() <= allowed || std::max(size.width, size.height) <= 1) {
            return Preview{size.width, size.height, std::move(*png)};
        }
        size = preview_size(picture.width, picture.height, next_limit(size, png->size(), allowed));
    }
}

std::string preview_summary(const Preview& preview, const RgbaImage& picture,
                            const std::string& path) {
    const std::string picture_size =
        std::to_string(picture.width) + "x" + std::to_string(picture.height);
    if (preview.width == picture.width && preview.height == picture.height) {
        return picture_size + " capture written to " + path;
    }
    return "Preview scaled to " + std::to_string(preview.width) + "x" +
           std::to_string(preview.height) + "; the " + picture_size + " file at " + path +
           " keeps every pixel.";
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out.push_back(kAlphabet[(group >> 18) & 63]);
        out.push_back(kAlphabet[(group >> 12) & 63]);
        out.push_back(kAlphabet[(group >> 6) & 63]);
        out.push_back(kAlphabet[group & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) {
            group |= std::uint32_t{bytes[i + 1]} << 8;
        }
        out.push_back(kAlphabet[(group >> 18) & 63]);
        out.push_back(kAlphabet[(group >> 12) & 63]);
        out.push_back(rest == 2 ? kAlphabet[(group >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

}  // namespace vantle::mcp
