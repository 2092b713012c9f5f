#pragma once

#include <cstdint>
#include <span>

namespace vantle::unicode {

// Tables generated at build time from the Unicode character database; each is
// sorted by its first member.
struct SingleLower {
    char32_t code_point;
    char32_t lower;
};
struct MultipleLower {
    char32_t code_point;
    char32_t lower[3];  // unused trailing entries are 0
};
struct Range {
    char32_t first;
    char32_t last;  // inclusive
};

extern const std::span<const SingleLower> kSingleLower;
extern const std::span<const MultipleLower> kMultipleLower;
extern const std::span<const Range> kCased;
extern const std::span<const Range> kCaseIgnorable;

}  // namespace vantle::unicode
