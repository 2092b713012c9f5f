#pragma once

// A strict reader of the PNG files the project writes (8-bit RGBA, not
// interlaced), so the fuzzers can check what the writer produced pixel for
// pixel. Independent of the writer: zlib inflates, and the row filters are
// undone here from the PNG definition.

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vantle::fuzzing {

struct DecodedPng {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgba;
};

// The picture, or why the file is not a well-formed 8-bit RGBA PNG.
inline std::optional<DecodedPng> read_png(std::span<const std::uint8_t> file, std::string& why) {
    auto u32 = [](const std::uint8_t* p) {
        return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
               (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
    };
    static constexpr std::array<std::uint8_t, 8> kSignature{0x89, 'P',  'N',  'G',
                                                            '\r', '\n', 0x1A, '\n'};
    if (file.size() < 8 || !std::equal(kSignature.begin(), kSignature.end(), file.begin())) {
        why = "no PNG signature";
        return std::nullopt;
    }
    DecodedPng png;
    std::vector<std::uint8_t> compressed;
    bool seen_header = false;
    bool seen_end = false;
    std::size_t at = 8;
    while (at < file.size()) {
        if (seen_end) {
            why = "bytes after IEND";
            return std::nullopt;
        }
        if (file.size() - at < 12) {
            why = "a truncated chunk";
            return std::nullopt;
        }
        const std::uint32_t length = u32(&file[at]);
        if (length > file.size() - at - 12) {
            why = "a chunk longer than the file";
            return std::nullopt;
        }
        const std::uint8_t* type = &file[at + 4];
        const std::uint8_t* data = &file[at + 8];
        const std::uint32_t crc = u32(data + length);
        if (crc32(crc32(0, nullptr, 0), type, length + 4) != crc) {
            why = "a chunk whose CRC is wrong";
            return std::nullopt;
        }
        const std::string name(reinterpret_cast<const char*>(type), 4);
        if (!seen_header && name != "IHDR") {
            why = "the first chunk is not IHDR";
            return std::nullopt;
        }
        if (name == "IHDR") {
            if (seen_header || length != 13) {
                why = "a bad IHDR";
                return std::nullopt;
            }
            seen_header = true;
            png.width = u32(data);
            png.height = u32(data + 4);
            if (png.width == 0 || png.height == 0 || data[8] != 8 || data[9] != 6 ||
                data[10] != 0 || data[11] != 0 || data[12] != 0) {
                why = "IHDR is not 8-bit RGBA without interlacing";
                return std::nullopt;
            }
        } else if (name == "IDAT") {
            compressed.insert(compressed.end(), data, data + length);
        } else if (name == "IEND") {
            seen_end = true;
        } else if ((type[0] & 0x20) == 0) {
            why = "an unknown critical chunk " + name;
            return std::nullopt;
        }
        at += std::size_t{length} + 12;
    }
    if (!seen_end) {
        why = "no IEND";
        return std::nullopt;
    }
    const std::size_t stride = std::size_t{png.width} * 4;
    const std::size_t raw_size = (stride + 1) * png.height;
    std::vector<std::uint8_t> raw(raw_size + 1);  // one spare byte shows a stream that is too long
    uLongf raw_length = static_cast<uLongf>(raw.size());
    uLong source_length = static_cast<uLong>(compressed.size());
    const int inflated = uncompress2(raw.data(), &raw_length, compressed.data(), &source_length);
    if (inflated != Z_OK || raw_length != raw_size || source_length != compressed.size()) {
        why = "the image data does not inflate to exactly the picture's rows";
        return std::nullopt;
    }
    png.rgba.resize(stride * png.height);
    for (std::uint32_t y = 0; y < png.height; ++y) {
        const std::uint8_t filter = raw[y * (stride + 1)];
        const std::uint8_t* in = &raw[y * (stride + 1) + 1];
        std::uint8_t* out = &png.rgba[y * stride];
        const std::uint8_t* up = y > 0 ? out - stride : nullptr;
        for (std::size_t i = 0; i < stride; ++i) {
            const int a = i >= 4 ? out[i - 4] : 0;
            const int b = up != nullptr ? up[i] : 0;
            const int c = (i >= 4 && up != nullptr) ? up[i - 4] : 0;
            int predictor = 0;
            switch (filter) {
                case 0:
                    break;
                case 1:
                    predictor = a;
                    break;
                case 2:
                    predictor = b;
                    break;
                case 3:
                    predictor = (a + b) / 2;
                    break;
                case 4: {
                    const int p = a + b - c;
                    const int pa = std::abs(p - a);
                    const int pb = std::abs(p - b);
                    const int pc = std::abs(p - c);
                    predictor = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
                    break;
                }
                default:
                    why = "an unknown row filter";
                    return std::nullopt;
            }
            out[i] = static_cast<std::uint8_t>(in[i] + predictor);
        }
    }
    return png;
}

}  // namespace vantle::fuzzing
