#include "support/utf.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace vantle {

namespace {

// Decodes one scalar value at `pos`. On success returns the length consumed and
// sets `out`; on an ill-formed sequence returns the length of its maximal
// subpart (at least 1) and sets `out` to U+FFFD.
std::size_t decode_one(std::string_view bytes, std::size_t pos, char32_t& out) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = byte(pos);
    if (lead < 0x80) {
        out = lead;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        out = 0xFFFD;
        return 1;
    }
    std::size_t i = 1;
    for (; i < length; ++i) {
        if (pos + i >= bytes.size()) {
            break;
        }
        const std::uint8_t next = byte(pos + i);
        if (next < low || next > high) {
            break;
        }
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (next & 0x3Fu);
    }
    if (i < length) {
        out = 0xFFFD;
        return i;
    }
    out = value;
    return length;
}

template <typename Sink>
void for_each_scalar(std::string_view bytes, Sink&& sink) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        char32_t value = 0;
        pos += decode_one(bytes, pos, value);
        sink(value);
    }
}

void append_utf16(std::u16string& out, char32_t value) {
    if (value >= 0x10000) {
        value -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(value));
    }
}

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        char32_t value = 0;
        const std::size_t used = decode_one(bytes, pos, value);
        if (value == 0xFFFD && bytes.substr(pos, used) != kReplacementCharacter) {
            return false;
        }
        pos += used;
    }
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    if (is_valid_utf8(bytes)) {
        return std::string(bytes);
    }
    std::string out;
    out.reserve(bytes.size() + 8);
    for_each_scalar(bytes, [&](char32_t value) { append_utf8(out, value); });
    return out;
}

std::u16string utf16_from_utf8(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for_each_scalar(utf8, [&](char32_t value) { append_utf16(out, value); });
    return out;
}

std::string utf8_from_utf16(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        const char32_t unit = utf16[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (utf16[i + 1] - 0xDC00u));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            append_utf8(out, 0xFFFD);
        } else {
            append_utf8(out, unit);
        }
    }
    return out;
}

bool is_unicode_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

std::string_view trim_unicode_white_space(std::string_view text) {
    std::size_t begin = text.size();
    std::size_t end = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t value = 0;
        const std::size_t used = decode_one(text, pos, value);
        // A decoded U+FFFD is never white space, so ill-formed bytes are kept.
        if (!is_unicode_white_space(value)) {
            begin = std::min(begin, pos);
            end = pos + used;
        }
        pos += used;
    }
    if (begin >= end) {
        return text.substr(0, 0);
    }
    return text.substr(begin, end - begin);
}

std::wstring wide_from_utf8(std::string_view utf8) {
    std::wstring out;
    if constexpr (sizeof(wchar_t) == 2) {
        for (char16_t unit : utf16_from_utf8(utf8)) {
            out.push_back(static_cast<wchar_t>(unit));
        }
    } else {
        for_each_scalar(utf8, [&](char32_t value) { out.push_back(static_cast<wchar_t>(value)); });
    }
    return out;
}

std::string utf8_from_wide(std::wstring_view wide) {
    if constexpr (sizeof(wchar_t) == 2) {
        std::u16string units;
        units.reserve(wide.size());
        for (wchar_t unit : wide) {
            units.push_back(static_cast<char16_t>(unit));
        }
        return utf8_from_utf16(units);
    } else {
        std::string out;
        for (wchar_t unit : wide) {
            auto value = static_cast<char32_t>(unit);
            if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
                value = 0xFFFD;
            }
            append_utf8(out, value);
        }
        return out;
    }
}

std::string double_quoted(std::string_view text) {
    return "\"" + escape_control_characters(text) + "\"";
}

std::string escape_control_characters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        unsigned escape = 0;
        std::size_t length = 0;
        if (c < 0x20 || c == 0x7F) {
            escape = c;
            length = 1;
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            escape = static_cast<unsigned char>(text[i + 1]);  // C1, NEL among them
            length = 2;
        } else if (c == 0xE2 &&
                   (text.substr(i, 3) == "\xE2\x80\xA8" || text.substr(i, 3) == "\xE2\x80\xA9")) {
            escape = text[i + 2] == '\xA8' ? 0x2028U : 0x2029U;
            length = 3;
        }
        if (length == 0) {
            out += text[i];
            continue;
        }
        if (escape == '\n') {
            out += "\\n";
        } else if (escape == '\r') {
            out += "\\r";
        } else if (escape == '\t') {
            out += "\\t";
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", escape);
            out += code;
        }
        i += length - 1;
    }
    return out;
}

}  // namespace vantle
