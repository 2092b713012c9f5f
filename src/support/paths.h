#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "support/cli_error.h"

namespace vantle {

// Paths are held as std::filesystem::path in the system's own form (bytes on
// POSIX, UTF-16 on Windows) and cross into text only through these two, so a
// path prints as the same UTF-8 on every system.

// The path named by UTF-8 text, such as a command-line value or a JSON string.
[[nodiscard]] std::filesystem::path path_from_utf8(std::string_view text);

// The path as UTF-8 text for output and messages; parts that are not valid
// Unicode (stray bytes on POSIX, unpaired surrogates on Windows) become U+FFFD.
[[nodiscard]] std::string path_to_utf8(const std::filesystem::path& path);

// `path` made absolute against the current directory without looking at the
// disk: "." and ".." are folded lexically (symbolic links are not followed), on
// Windows as GetFullPathNameW does it ("/" becomes "\"). An empty path fails
// with "<path>: cannot make an empty path absolute", any other failure
// (including a path holding a NUL character, which the system would silently
// cut short, and on Windows a colon past the drive, which names an NTFS stream
// of another file) with "<path>: <error text>"; both exit code 1.
[[nodiscard]] CliResult<std::filesystem::path> absolute_path(const std::filesystem::path& path);

}  // namespace vantle
