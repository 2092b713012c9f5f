#include <gtest/gtest.h>

#include <cerrno>

#include "support/os_error.h"

namespace vantle {
namespace {

TEST(OsError, UsesTheSystemTextForErrno) {
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (0x00000002)");
    EXPECT_EQ(os_error_text(std::make_error_code(std::errc::not_a_directory)),
              "Not a directory (0x00000014)");
}

}  // namespace
}  // namespace vantle
