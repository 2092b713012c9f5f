#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/os_error.h"

namespace vantle {
namespace {

// The system's wording differs between Windows releases (and Wine), so these
// check the shape: the text, one space, the HRESULT-form code, no line break.
void expect_system_text_with_code(const std::string& text, std::string_view code) {
    ASSERT_GT(text.size(), code.size() + 1) << text;
    EXPECT_EQ(text.substr(text.size() - code.size()), code) << text;
    EXPECT_EQ(text[text.size() - code.size() - 1], ' ') << text;
    EXPECT_NE(text[text.size() - code.size() - 2], ' ') << text;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
}

TEST(OsError, ShowsWin32CodesInTheirHresultForm) {
    expect_system_text_with_code(os_error_text(ERROR_ACCESS_DENIED), "(0x80070005)");
    expect_system_text_with_code(os_error_text(ERROR_FILE_NOT_FOUND), "(0x80070002)");
}

TEST(OsError, ShowsHresultsUnchanged) {
    expect_system_text_with_code(os_error_text(0x80004001u), "(0x80004001)");  // E_NOTIMPL
}

TEST(OsError, ShowsAnErrnoOfTheStandardLibraryAsTheWin32ErrorOfTheSameMeaning) {
    // MinGW's std::filesystem reports some failures as errno values; read as a
    // Win32 code, ENOTDIR (20) would say "bad unit".
    EXPECT_EQ(os_error_text(std::make_error_code(std::errc::not_a_directory)),
              os_error_text(ERROR_DIRECTORY));
    EXPECT_EQ(os_error_text(std::make_error_code(std::errc::no_space_on_device)),
              os_error_text(ERROR_DISK_FULL));
    EXPECT_EQ(os_error_text(std::error_code(ERROR_ACCESS_DENIED, std::system_category())),
              os_error_text(ERROR_ACCESS_DENIED));
    // Without an equivalent: the C library's text and the errno value.
    expect_system_text_with_code(os_error_text(std::make_error_code(std::errc::broken_pipe)),
                                 "(0x00000020)");
}

TEST(OsError, WritesOnlyTheCodeWhenTheSystemHasNoText) {
    EXPECT_EQ(os_error_text(0x8FFF1234u), "(0x8FFF1234)");
}

TEST(OsError, LastErrorBecomesTheCauseOfTheContext) {
    SetLastError(ERROR_INVALID_HANDLE);
    const Error error = last_os_error("closing the file");
    ASSERT_EQ(error.chain().size(), 2u);
    EXPECT_EQ(error.message(), "closing the file");
    expect_system_text_with_code(error.chain()[1], "(0x80070006)");
}

}  // namespace
}  // namespace vantle
