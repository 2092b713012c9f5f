#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace vantle::testing {

// The bytes of base64 text, up to `most` of them: a check that reads only a
// PNG's header need not decode a whole preview. Decoding stops at the first
// character outside the alphabet (padding included).
inline std::string from_base64(const std::string& text, std::size_t most = std::string::npos) {
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        if (out.size() >= most) {
            break;
        }
        const auto at = kAlphabet.find(c);
        if (at == std::string_view::npos) {
            break;
        }
        bits = bits << 6 | static_cast<std::uint32_t>(at);
        if ((count += 6) >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

// How many bytes of a PNG hold the width and height its header states.
inline constexpr std::size_t kPngHeaderBytes = 24;

// The width and height a PNG's header states; {0, 0} when it has none.
inline std::pair<std::uint32_t, std::uint32_t> png_size(std::string_view png) {
    if (png.size() < kPngHeaderBytes || png.substr(12, 4) != "IHDR") {
        return {0, 0};
    }
    const auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = at; i < at + 4; ++i) {
            value = value << 8 | static_cast<std::uint8_t>(png[i]);
        }
        return value;
    };
    return {word(16), word(20)};
}

}  // namespace vantle::testing
