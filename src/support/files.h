#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "support/cli_error.h"

namespace vantle {

// The sibling a file is written under before it is moved into place: the same
// directory, the file name with ".vantle-tmp" appended.
[[nodiscard]] std::filesystem::path temporary_path(const std::filesystem::path& path);

// A recording's hold on its destination for the whole run, so that no second
// recording, in this process or another, clears or writes the same temporary
// meanwhile. On POSIX it is an exclusive lock on the temporary itself, which
// the claim creates afresh; on Windows a named mutex of the destination's
// path. Releasing it (destroying the object) does not touch the files.
class DestinationClaim {
  public:
    struct State;  // the system's handle

    explicit DestinationClaim(std::unique_ptr<State> state);
    DestinationClaim(DestinationClaim&&) noexcept;
    DestinationClaim& operator=(DestinationClaim&&) noexcept;
    ~DestinationClaim();

  private:
    std::unique_ptr<State> state_;
};

// Claims `path` for a recording and prepares its temporary: whatever stands at
// `temporary_path(path)` (a stale temporary that no one holds, a planted
// symbolic link) is removed, never followed, and an empty temporary is created
// in its place, so a folder that is missing, not a folder or not writable is
// reported before any work is spent on it. Failures (exit 1): "another
// recording is writing <path>" while a running recording holds it, else
// "could not write <path>: <error text>".
[[nodiscard]] CliResult<DestinationClaim> claim_destination(const std::filesystem::path& path);

// The refusal of a destination that a running recording holds.
[[nodiscard]] CliError destination_busy(const std::filesystem::path& path);

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
