#include <gtest/gtest.h>

#include "automation/mcp/text.h"

namespace vantle {
namespace {

TEST(ToLower, UsesFullUnicodeLowerCasing) {
    const std::pair<std::string, std::string> cases[] = {
        {"Untitled - NOTEPAD", "untitled - notepad"},
        {"\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9"},  // ÉTÉ
        {"\xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2",
         "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},  // ПРИВЕТ
        {"\xC4\xB0", "i\xCC\x87"},                             // İ becomes i + combining dot
        {"\xCE\x9F\xCE\xA3", "\xCE\xBF\xCF\x82"},              // ΟΣ: final sigma
        {"\xCE\xA3\xCE\x9F", "\xCF\x83\xCE\xBF"},              // ΣΟ: not final
        {"\xCE\xA3", "\xCF\x83"},                              // alone: not final
        {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},              // Deseret capital long I
        {"\xE2\x84\xAA", "k"},                                 // Kelvin sign
        {"a\xFF", "a\xEF\xBF\xBD"},
    };
    for (const auto& [text, lower] : cases) {
        EXPECT_EQ(to_lower(text), lower) << text;
    }
}

TEST(TrimWhiteSpace, RemovesUnicodeWhiteSpaceAtBothEnds) {
    EXPECT_EQ(trim_white_space("\xC2\xA0 a b\t\xE3\x80\x80\xE2\x80\xA9"), "a b");
    EXPECT_EQ(trim_white_space(" \xC2\x85 "), "");
    EXPECT_EQ(trim_white_space("\xE2\x80\x8B"
                               "a"),
              "\xE2\x80\x8B"
              "a");  // ZWSP is not White_Space
    EXPECT_EQ(trim_white_space(""), "");
}

}  // namespace
}  // namespace vantle
