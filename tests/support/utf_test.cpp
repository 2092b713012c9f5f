#include <gtest/gtest.h>

#include "support/utf.h"

namespace vantle {
namespace {

TEST(Utf8Lossy, ReplacesEachMaximalIllFormedSubpart) {
    struct Case {
        std::string_view input;
        std::string_view expected;
    } cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b"},
        // A truncated three-byte sequence is one subpart, one replacement.
        {"\xE2\x82"
         "x",
         "\xEF\xBF\xBD"
         "x"},
        // Overlong forms and surrogates are ill-formed byte by byte.
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8_lossy(c.input), c.expected) << testing::PrintToString(c.input);
        EXPECT_EQ(is_valid_utf8(c.input), c.input == c.expected);
    }
}

TEST(Utf16, RoundTripsAndReplacesUnpairedSurrogates) {
    EXPECT_EQ(utf16_from_utf8("a\xF0\x9F\x98\x80"), (std::u16string{u'a', 0xD83D, 0xDE00}));
    EXPECT_EQ(utf8_from_utf16(std::u16string{u'a', 0xD83D, 0xDE00}), "a\xF0\x9F\x98\x80");
    EXPECT_EQ(utf8_from_utf16(std::u16string{0xD83D, u'x'}), "\xEF\xBF\xBDx");
    EXPECT_EQ(utf8_from_utf16(std::u16string{0xDE00}), "\xEF\xBF\xBD");
    EXPECT_EQ(utf8_from_wide(wide_from_utf8("\xC3\xA9t\xC3\xA9")), "\xC3\xA9t\xC3\xA9");
}

}  // namespace
}  // namespace vantle
