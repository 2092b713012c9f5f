#include <gtest/gtest.h>

#include "support/json_line.h"

namespace vantle {
namespace {

TEST(JsonLine, SortsMembersAndWritesCompactly) {
    nlohmann::json value;
    value["windows"] = nlohmann::json::array();
    value["monitors"] = {{{"y", 0}, {"index", 0}}};
    EXPECT_EQ(json_line(value), "{\"monitors\":[{\"index\":0,\"y\":0}],\"windows\":[]}\n");
}

TEST(JsonLine, EscapesOnlyQuoteBackslashAndControls) {
    const nlohmann::json value = std::string("a\"b\\c\x01\t/\xC3\xA9\x7F");
    EXPECT_EQ(json_text(value), "\"a\\\"b\\\\c\\u0001\\t/\xC3\xA9\x7F\"");
}

TEST(JsonLine, WritesShortestFloatsWithAFractionPart) {
    EXPECT_EQ(json_text(2.0), "2.0");
    EXPECT_EQ(json_text(0.143), "0.143");
    EXPECT_EQ(json_text(nlohmann::json(nullptr)), "null");
}

TEST(JsonLine, ReplacesIllFormedUtf8) {
    EXPECT_EQ(json_text(std::string("a\xFF")), "\"a\xEF\xBF\xBD\"");
}

}  // namespace
}  // namespace vantle
