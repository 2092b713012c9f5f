#include "automation/mcp/text.h"

#include <algorithm>
#include <vector>

#include "automation/mcp/unicode_tables.h"
#include "support/utf.h"

namespace vantle {

namespace {

// Decodes the scalar value at `pos` of well-formed UTF-8 and advances `pos`;
// a stray byte decodes as itself so that callers still make progress.
char32_t next_scalar(std::string_view text, std::size_t& pos) {
    const auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) & 0x3Fu : 0u;
    };
    const auto lead = static_cast<unsigned char>(text[pos]);
    char32_t value = lead;
    std::size_t length = 1;
    if (lead >= 0xF0) {
        value =
            ((lead & 0x07u) << 18) | (byte(pos + 1) << 12) | (byte(pos + 2) << 6) | byte(pos + 3);
        length = 4;
    } else if (lead >= 0xE0) {
        value = ((lead & 0x0Fu) << 12) | (byte(pos + 1) << 6) | byte(pos + 2);
        length = 3;
    } else if (lead >= 0xC0) {
        value = ((lead & 0x1Fu) << 6) | byte(pos + 1);
        length = 2;
    }
    pos = std::min(text.size(), pos + length);
    return value;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool in_ranges(std::span<const unicode::Range> ranges, char32_t c) {
    const auto it = std::upper_bound(
        ranges.begin(), ranges.end(), c,
        [](char32_t value, const unicode::Range& range) { return value < range.first; });
    return it != ranges.begin() && c <= std::prev(it)->last;
}

bool is_cased(char32_t c) {
    return in_ranges(unicode::kCased, c);
}
bool is_case_ignorable(char32_t c) {
    return in_ranges(unicode::kCaseIgnorable, c);
}

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kFinalSigma = 0x03C2;

// A capital sigma ends a word when a cased letter comes before it and none comes
// after it, looking past case-ignorable characters both ways.
bool is_final_sigma(const std::vector<char32_t>& text, std::size_t at) {
    bool cased_before = false;
    for (std::size_t i = at; i > 0; --i) {
        const char32_t c = text[i - 1];
        if (is_case_ignorable(c)) {
            continue;
        }
        cased_before = is_cased(c);
        break;
    }
    if (!cased_before) {
        return false;
    }
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (is_case_ignorable(c)) {
            continue;
        }
        return !is_cased(c);
    }
    return true;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = text.size();
    std::size_t end = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        if (!is_white_space(next_scalar(text, pos))) {
            begin = std::min(begin, start);
            end = pos;
        }
    }
    if (begin >= end) {
        return text.substr(0, 0);
    }
    return text.substr(begin, end - begin);
}

std::string to_lower(std::string_view input) {
    const std::string text = utf8_lossy(input);
    std::vector<char32_t> scalars;
    scalars.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        scalars.push_back(next_scalar(text, pos));
    }
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < scalars.size(); ++i) {
        const char32_t c = scalars[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c));
            continue;
        }
        if (c == kCapitalSigma && is_final_sigma(scalars, i)) {
            append_utf8(out, kFinalSigma);
            continue;
        }
        const auto multiple =
            std::lower_bound(unicode::kMultipleLower.begin(), unicode::kMultipleLower.end(), c,
                             [](const unicode::MultipleLower& entry, char32_t value) {
                                 return entry.code_point < value;
                             });
        if (multiple != unicode::kMultipleLower.end() && multiple->code_point == c) {
            for (char32_t lower : multiple->lower) {
                if (lower != 0) {
                    append_utf8(out, lower);
                }
            }
            continue;
        }
        const auto single =
            std::lower_bound(unicode::kSingleLower.begin(), unicode::kSingleLower.end(), c,
                             [](const unicode::SingleLower& entry, char32_t value) {
                                 return entry.code_point < value;
                             });
        append_utf8(out, single != unicode::kSingleLower.end() && single->code_point == c
                             ? single->lower
                             : c);
    }
    return out;
}

std::string to_ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

}  // namespace vantle
