#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "support/cli_error.h"

namespace vantle {

// The sibling a file is written under before it is moved into place: the same
// directory, the file name with ".vantle-tmp" appended.
[[nodiscard]] std::filesystem::path temporary_path(const std::filesystem::path& path);

// Clears the way for a fresh temporary of `path`: whatever stands at
// `temporary_path(path)` (a stale temporary, a planted symbolic link) is
// removed, never followed. Nothing being there is fine. Failure: "could not
// write <path>: <error text>" (exit 1), so a folder that cannot take the file
// is reported before any work is spent on it.
[[nodiscard]] CliStatus clear_temporary(const std::filesystem::path& path);

// Writes `bytes` so that `path` is only ever absent, the old file or the whole
// new one: any file or symbolic link at `temporary_path(path)` is removed and
// the temporary is created afresh (never written through a link), filled,
// flushed to disk and renamed over `path`. On any failure the temporary is
// deleted and the result is "could not write <path>: <error text>" (exit 1).
[[nodiscard]] CliStatus write_file_atomically(const std::filesystem::path& path,
                                              std::span<const std::uint8_t> bytes);

// Moves a finished file (`from`, usually `temporary_path(to)`) over `to`,
// replacing what is there, after flushing its data to disk so a crash cannot
// leave a short file under the final name. Failure: "could not write <to>:
// <error text>" (exit 1); `from` is left for the caller to delete.
[[nodiscard]] CliStatus replace_file(const std::filesystem::path& from,
                                     const std::filesystem::path& to);

// Deletes a file if it is there; failures are ignored (for clean-up paths).
void remove_file_quietly(const std::filesystem::path& path);

}  // namespace vantle
