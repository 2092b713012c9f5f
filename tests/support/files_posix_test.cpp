#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

TEST_F(FilesTest, TemporaryPathIsTheSiblingWithSuffix) {
    EXPECT_EQ(temporary_path("/d/shot.png"), fs::path("/d/shot.png.vantle-tmp"));
    EXPECT_EQ(temporary_path("shot.png"), fs::path("shot.png.vantle-tmp"));
}

TEST_F(FilesTest, WritesNewAndReplacesExistingFiles) {
    const fs::path out = dir_ / "shot.png";
    ASSERT_TRUE(write_file_atomically(out, bytes("first")));
    EXPECT_EQ(contents(out), "first");
    ASSERT_TRUE(write_file_atomically(out, bytes("second, longer")));
    EXPECT_EQ(contents(out), "second, longer");
    ASSERT_TRUE(write_file_atomically(out, {}));
    EXPECT_EQ(contents(out), "");
    EXPECT_EQ(entries(), std::vector<std::string>{"shot.png"});
}

TEST_F(FilesTest, MissingDirectoryFailsAndLeavesNothing) {
    const fs::path out = dir_ / "missing" / "shot.png";
    auto result = write_file_atomically(out, bytes("x"));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(),
              CliError::failed("could not write " + out.string() + ": " + os_error_text(ENOENT)));
    EXPECT_TRUE(entries().empty());
}

TEST_F(FilesTest, PlantedLinkAtTheTemporaryNameIsNotWrittenThrough) {
    const fs::path out = dir_ / "shot.png";
    const fs::path victim = dir_ / "victim";
    put(victim, "precious");
    fs::create_symlink(victim, temporary_path(out));
    ASSERT_TRUE(write_file_atomically(out, bytes("picture")));
    EXPECT_EQ(contents(victim), "precious");
    EXPECT_EQ(contents(out), "picture");
    EXPECT_FALSE(fs::is_symlink(out));
    EXPECT_EQ(entries(), (std::vector<std::string>{"shot.png", "victim"}));

    // A dangling link would otherwise create its target.
    fs::create_symlink(dir_ / "created", temporary_path(out));
    ASSERT_TRUE(write_file_atomically(out, bytes("again")));
    EXPECT_FALSE(fs::exists(dir_ / "created"));
    // A leftover temporary file is simply replaced.
    put(temporary_path(out), "stale leftover that is longer");
    ASSERT_TRUE(write_file_atomically(out, bytes("third")));
    EXPECT_EQ(contents(out), "third");
    EXPECT_EQ(entries(), (std::vector<std::string>{"shot.png", "victim"}));
}

TEST_F(FilesTest, LinkAtTheDestinationIsReplacedNotFollowed) {
    const fs::path out = dir_ / "shot.png";
    const fs::path victim = dir_ / "victim";
    put(victim, "precious");
    fs::create_symlink(victim, out);
    ASSERT_TRUE(write_file_atomically(out, bytes("picture")));
    EXPECT_EQ(contents(victim), "precious");
    EXPECT_FALSE(fs::is_symlink(out));
    EXPECT_EQ(contents(out), "picture");
}

TEST_F(FilesTest, FailedRenameRemovesTheTemporaryAndKeepsTheDestination) {
    // A directory that is not empty cannot be replaced by a file.
    const fs::path out = dir_ / "shot.png";
    fs::create_directory(out);
    put(out / "inside", "kept");
    auto result = write_file_atomically(out, bytes("x"));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(),
              CliError::failed("could not write " + out.string() + ": " + os_error_text(EISDIR)));
    EXPECT_EQ(contents(out / "inside"), "kept");
    EXPECT_EQ(entries(), std::vector<std::string>{"shot.png"});
}

TEST_F(FilesTest, UnremovableTemporaryNameFailsWithoutTouchingTheDestination) {
    const fs::path out = dir_ / "shot.png";
    put(out, "old picture");
    fs::create_directory(temporary_path(out));
    put(temporary_path(out) / "inside", "");
    auto result = write_file_atomically(out, bytes("new"));
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().message.starts_with("could not write " + out.string() + ": "));
    EXPECT_EQ(contents(out), "old picture");
}

// Runs `write_file_atomically` as a user who may not write to `dir`. Root may
// write anywhere, so then the attempt runs in a child that gives up root.
CliStatus write_without_permission(const fs::path& dir, const fs::path& out,
                                   std::span<const std::uint8_t> data) {
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
    if (::geteuid() != 0) {
        return write_file_atomically(out, data);
    }
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) {
        return std::unexpected(CliError::failed("pipe failed"));
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        auto result = write_file_atomically(out, data);
        if (!result) {
            const std::string& message = result.error().message;
            (void)!::write(pipe_fds[1], message.data(), message.size());
        }
        ::_exit(result ? 0 : 1);
    }
    ::close(pipe_fds[1]);
    std::string message;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
        message.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return {};
    }
    return std::unexpected(CliError::failed(message));
}

TEST_F(FilesTest, ReadOnlyDirectoryFailsAndKeepsTheOldFile) {
    const fs::path out = dir_ / "shot.png";
    put(out, "old picture");
    auto result = write_without_permission(dir_, out, bytes("new"));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(),
              CliError::failed("could not write " + out.string() + ": " + os_error_text(EACCES)));
    EXPECT_EQ(contents(out), "old picture");
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
    EXPECT_EQ(result.error(),
              CliError::failed("could not write " + out.string() + ": " + os_error_text(ENOENT)));
    EXPECT_EQ(contents(out), "new video");
    remove_file_quietly(out);
    remove_file_quietly(out);
    EXPECT_TRUE(entries().empty());
}

TEST_F(AbsolutePathTest, FoldsLexicallyAgainstTheCurrentDirectory) {
    const std::string parent = fs::path(cwd_).parent_path().string();
    const std::pair<std::string, std::string> cases[] = {
        {"shot.png", cwd_ + "/shot.png"},
        {"./shot.png", cwd_ + "/shot.png"},
        {"../shot.png", parent + "/shot.png"},
        {"no/such/dir/../../shot.png", cwd_ + "/no/shot.png"},
        {"a//b/./c.png", cwd_ + "/a/b/c.png"},
        {"dir/", cwd_ + "/dir/"},
        {"/abs//dir/./f.png", "/abs/dir/f.png"},
        {"/../../f.png", "/f.png"},
        {"/a/b/../../../f.png", "/f.png"},
        {"/", "/"},
        {"caf\xC3\xA9 \xFF.png", cwd_ + "/caf\xC3\xA9 \xFF.png"},
    };
    for (const auto& [input, expected] : cases) {
        auto result = absolute_path(path_from_utf8(input));
        ASSERT_TRUE(result) << input << ": " << result.error().message;
        EXPECT_EQ(result->native(), expected) << input;
    }
    EXPECT_FALSE(fs::exists(cwd_ + "/no"));
}

TEST_F(AbsolutePathTest, RefusesEmptyPathsAndNulCharacters) {
    EXPECT_EQ(absolute_path(fs::path()).error(),
              CliError::failed(": cannot make an empty path absolute"));
    const std::string with_nul("a.png\0../../etc/x", 17);
    EXPECT_EQ(absolute_path(fs::path(with_nul)).error(),
              CliError::failed(with_nul + ": " + os_error_text(EINVAL)));
}

TEST_F(AbsolutePathTest, CurrentDirectoryThatIsGoneFails) {
    fs::remove(cwd_);
    auto result = absolute_path("shot.png");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), CliError::failed("shot.png: " + os_error_text(ENOENT)));
    // An absolute path needs no current directory.
    EXPECT_EQ(absolute_path("/x/../y.png").value(), fs::path("/y.png"));
}

TEST(PathText, ReplacesWhatIsNotUnicode) {
    EXPECT_EQ(path_to_utf8(fs::path("/a/caf\xC3\xA9\xFF.png")), "/a/caf\xC3\xA9\xEF\xBF\xBD.png");
    EXPECT_EQ(path_from_utf8("/a/caf\xC3\xA9.png").native(), "/a/caf\xC3\xA9.png");
}

}  // namespace
}  // namespace vantle
