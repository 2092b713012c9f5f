#include <gtest/gtest.h>

#include "support/error.h"
#include "support/os_error.h"

namespace vantle {
namespace {

TEST(Error, RendersTheChainOutermostFirst) {
    Error error = Error("disk full").context("could not write a.png").context("capture failed");
    EXPECT_EQ(error.render(), "capture failed: could not write a.png: disk full");
    EXPECT_EQ(error.message(), "capture failed");
}

TEST(OsError, FormatsTextAndCodeAsTheSystemWouldShowThem) {
    struct Case {
        std::string_view text;
        std::uint32_t code;
        std::string_view expected;
    } cases[] = {
        {"Access is denied.\r\n", 0x80070005u, "Access is denied. (0x80070005)"},
        {"", 0x8000FFFFu, "(0x8000FFFF)"},
        {"  \r\n", 5, "(0x00000005)"},
        {"No such file or directory", 2, "No such file or directory (0x00000002)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_os_error(c.text, c.code), c.expected);
    }
}

}  // namespace
}  // namespace vantle
