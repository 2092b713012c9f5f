#include <gtest/gtest.h>

#include <cerrno>

#include "support/os_error.h"

namespace vantle {
namespace {

TEST(OsError, UsesTheSystemTextForErrno) {
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (0x00000002)");
}

}  // namespace
}  // namespace vantle
