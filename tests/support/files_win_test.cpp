#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "files_fixture.h"
#include "support/files.h"
#include "support/os_error.h"
#include "support/paths.h"

namespace vantle {
namespace {

namespace fs = std::filesystem;

using testing::AbsolutePathTest;
using testing::FilesTest;

std::string failure(const fs::path& path, DWORD code) {
    return "could not write " + path_to_utf8(path) + ": " + os_error_text(code);
}

TEST_F(FilesTest, WritesNewAndReplacesExistingFilesUnderUnicodeNames) {
    const fs::path out = dir_ / path_from_utf8("caf\xC3\xA9 \xE2\x9C\x93.png");
    ASSERT_TRUE(write_file_atomically(out, bytes("first")));
    EXPECT_EQ(contents(out), "first");
    ASSERT_TRUE(write_file_atomically(out, bytes("second, longer")));
    EXPECT_EQ(contents(out), "second, longer");
    EXPECT_EQ(entries(), std::vector<std::string>{"caf\xC3\xA9 \xE2\x9C\x93.png"});
}

TEST_F(FilesTest, LeftoverTemporaryIsReplaced) {
    const fs::path out = dir_ / "shot.png";
    put(temporary_path(out), "stale leftover that is longer");
    ASSERT_TRUE(write_file_atomically(out, bytes("picture")));
    EXPECT_EQ(contents(out), "picture");
    EXPECT_EQ(entries(), std::vector<std::string>{"shot.png"});
}

TEST_F(FilesTest, MissingDirectoryFailsAndLeavesNothing) {
    const fs::path out = dir_ / "missing" / "shot.png";
    auto result = write_file_atomically(out, bytes("x"));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), CliError::failed(failure(out, ERROR_PATH_NOT_FOUND)));
    EXPECT_TRUE(entries().empty());
}

TEST_F(FilesTest, DestinationThatIsADirectoryFailsAndKeepsIt) {
    const fs::path out = dir_ / "shot.png";
    fs::create_directory(out);
    put(out / "inside", "kept");
    auto result = write_file_atomically(out, bytes("x"));
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().message.starts_with("could not write " + path_to_utf8(out) + ": "))
        << result.error().message;
    EXPECT_EQ(contents(out / "inside"), "kept");
    EXPECT_EQ(entries(), std::vector<std::string>{"shot.png"});
}

TEST_F(FilesTest, ReplaceFileMovesAFinishedFileIntoPlace) {
    const fs::path out = dir_ / "clip.mp4";
    put(out, "old");
    put(temporary_path(out), "new video");
    ASSERT_TRUE(replace_file(temporary_path(out), out));
    EXPECT_EQ(contents(out), "new video");
    EXPECT_EQ(entries(), std::vector<std::string>{"clip.mp4"});

    auto result = replace_file(temporary_path(out), out);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), CliError::failed(failure(out, ERROR_FILE_NOT_FOUND)));
    EXPECT_EQ(contents(out), "new video");
    remove_file_quietly(out);
    remove_file_quietly(out);
    EXPECT_TRUE(entries().empty());
}

TEST_F(AbsolutePathTest, FoldsAsGetFullPathNameDoes) {
    const std::string parent = path_to_utf8(fs::path(path_from_utf8(cwd_)).parent_path());
    const std::string drive = cwd_.substr(0, 2);
    const std::pair<std::string, std::string> cases[] = {
        {"shot.png", cwd_ + "\\shot.png"},
        {"./shot.png", cwd_ + "\\shot.png"},
        {"..\\shot.png", parent + "\\shot.png"},
        {"no/such/dir/../../shot.png", cwd_ + "\\no\\shot.png"},
        {"C:/abs//dir/./f.png", "C:\\abs\\dir\\f.png"},
        {"C:\\a\\b\\..\\..\\..\\f.png", "C:\\f.png"},
        {"\\rooted.png", drive + "\\rooted.png"},
        {"caf\xC3\xA9.png", cwd_ + "\\caf\xC3\xA9.png"},
    };
    for (const auto& [input, expected] : cases) {
        auto result = absolute_path(path_from_utf8(input));
        ASSERT_TRUE(result) << input << ": " << result.error().message;
        EXPECT_EQ(path_to_utf8(*result), expected) << input;
    }
    EXPECT_FALSE(fs::exists(path_from_utf8(cwd_ + "\\no")));
}

TEST_F(AbsolutePathTest, RefusesEmptyPathsAndNulCharacters) {
    EXPECT_EQ(absolute_path(fs::path()).error(),
              CliError::failed(": cannot make an empty path absolute"));
    const std::wstring with_nul(L"a.png\0..\\..\\x", 13);
    EXPECT_EQ(absolute_path(fs::path(with_nul)).error(),
              CliError::failed(path_to_utf8(fs::path(with_nul)) + ": " +
                               os_error_text(ERROR_INVALID_NAME)));
}

// A colon past the drive names an NTFS stream of another file, not a file.
TEST_F(AbsolutePathTest, RefusesStreamNames) {
    for (const char* input : {"shot 17:30.png", "C:\\shots\\a:b.png", "C:\\a:b\\c.png",
                              "\\\\?\\C:\\a:b.png", "C:\\shots\\a.png::$DATA"}) {
        auto result = absolute_path(path_from_utf8(input));
        ASSERT_FALSE(result) << input << " became " << path_to_utf8(*result);
        EXPECT_EQ(result.error(),
                  CliError::failed(std::string(input) + ": " + os_error_text(ERROR_INVALID_NAME)));
    }
    for (const char* input : {"C:\\shots\\a.png", "\\\\?\\C:\\shots\\a.png"}) {
        auto result = absolute_path(path_from_utf8(input));
        ASSERT_TRUE(result) << input << ": " << result.error().message;
        EXPECT_EQ(path_to_utf8(*result), input);
    }
}

TEST(PathText, ReplacesUnpairedSurrogates) {
    const std::wstring name =
        L"a\xD800"
        L"b.png";
    EXPECT_EQ(path_to_utf8(fs::path(name)),
              "a\xEF\xBF\xBD"
              "b.png");
    EXPECT_EQ(path_from_utf8("C:\\caf\xC3\xA9.png").native(), L"C:\\caf\x00E9.png");
}

}  // namespace
}  // namespace vantle
