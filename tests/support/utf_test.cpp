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

TEST(EscapeControlCharacters, LeavesOneLineOfEverythingElse) {
    struct Case {
        std::string_view input;
        std::string_view expected;
    } cases[] = {
        {"C:\\shots\\\"x\".png \xC3\xA9", "C:\\shots\\\"x\".png \xC3\xA9"},
        {"a\nb\r\tc", "a\\nb\\r\\tc"},
        {std::string_view("\0\x01\x1F\x7F", 4), "\\u0000\\u0001\\u001f\\u007f"},
        // C1 controls (NEL) and the Unicode line and paragraph separators.
        {"\xC2\x85\xC2\x9F\xC2\xA0", "\\u0085\\u009f\xC2\xA0"},
        {"\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAA", "\\u2028\\u2029\xE2\x80\xAA"},
        // Ill-formed bytes are not taken for controls.
        {"\xC2"
         "A\xC2",
         "\xC2"
         "A\xC2"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escape_control_characters(c.input), c.expected)
            << testing::PrintToString(c.input);
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
