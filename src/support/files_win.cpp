#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>
#include <utility>

#include "support/files.h"
#include "support/os_error.h"
#include "support/paths.h"

namespace vantle {

namespace {

class FileHandle {
  public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (valid()) {
            CloseHandle(handle_);
        }
    }
    [[nodiscard]] HANDLE get() const { return handle_; }
    [[nodiscard]] bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    [[nodiscard]] bool close() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return CloseHandle(handle) != FALSE;
    }

  private:
    HANDLE handle_;
};

CliError write_failure(const std::filesystem::path& path, const std::string& cause) {
    return CliError::failed("could not write " + path_to_utf8(path) + ": " + cause);
}

bool write_all(HANDLE file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const DWORD chunk =
            bytes.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes = bytes.subspan(written);
    }
    return true;
}

// Removes what stands at `temporary` (DeleteFileW removes a link, not its
// target); the system's text when that fails.
std::optional<std::string> remove_temporary(const std::filesystem::path& temporary) {
    if (!DeleteFileW(temporary.c_str())) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
            return os_error_text(code);
        }
    }
    return std::nullopt;
}

std::optional<std::string> write_temporary(const std::filesystem::path& temporary,
                                           std::span<const std::uint8_t> bytes) {
    // Whatever stands at the temporary name, a planted symbolic link included, is
    // removed first; CREATE_NEW on the reparse point itself never follows a link.
    if (std::optional<std::string> failure = remove_temporary(temporary)) {
        return failure;
    }
    FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        return last_os_error_text();
    }
    if (!write_all(file.get(), bytes) || !FlushFileBuffers(file.get())) {
        return last_os_error_text();
    }
    if (!file.close()) {
        return last_os_error_text();
    }
    return std::nullopt;
}

bool move_over(const std::filesystem::path& from, const std::filesystem::path& to) {
    return MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

}  // namespace

struct DestinationClaim::State {
    HANDLE mutex = nullptr;
    ~State() {
        if (mutex != nullptr) {
            CloseHandle(mutex);
        }
    }
};

DestinationClaim::DestinationClaim(std::unique_ptr<State> state) : state_(std::move(state)) {}
DestinationClaim::DestinationClaim(DestinationClaim&&) noexcept = default;
DestinationClaim& DestinationClaim::operator=(DestinationClaim&&) noexcept = default;
DestinationClaim::~DestinationClaim() = default;

CliResult<DestinationClaim> claim_destination(const std::filesystem::path& path) {
    // The encoder opens the temporary by name with its own sharing, so the hold
    // is a named mutex of the destination rather than a lock on the file: the
    // path folded to upper case (names are case-insensitive) and hashed, since
    // a mutex name may not hold "\". It vanishes with the last handle, so a
    // recording that died holds nothing.
    std::wstring folded = path.native();
    if (!folded.empty()) {
        CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    }
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t unit : folded) {
        hash = (hash ^ static_cast<std::uint16_t>(unit)) * 1099511628211ull;
    }
    wchar_t name[80];
    swprintf(name, sizeof name / sizeof name[0], L"Local\\invalid.vantle.app.write.%016llx",
             static_cast<unsigned long long>(hash));
    auto state = std::make_unique<DestinationClaim::State>();
    state->mutex = CreateMutexW(nullptr, FALSE, name);
    if (state->mutex == nullptr) {
        return std::unexpected(write_failure(path, last_os_error_text()));
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        return std::unexpected(destination_busy(path));
    }
    const std::filesystem::path temporary = temporary_path(path);
    if (std::optional<std::string> failure = remove_temporary(temporary)) {
        return std::unexpected(write_failure(path, *failure));
    }
    // An empty temporary proves the folder takes the file; the encoder
    // replaces it.
    FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        return std::unexpected(write_failure(path, last_os_error_text()));
    }
    return DestinationClaim(std::move(state));
}

CliStatus write_file_atomically(const std::filesystem::path& path,
                                std::span<const std::uint8_t> bytes) {
    const std::filesystem::path temporary = temporary_path(path);
    std::optional<std::string> failure = write_temporary(temporary, bytes);
    if (!failure && !move_over(temporary, path)) {
        failure = last_os_error_text();
    }
    if (failure) {
        remove_file_quietly(temporary);
        return std::unexpected(write_failure(path, *failure));
    }
    return {};
}

CliStatus replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    {
        FileHandle file(CreateFileW(from.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.valid() || !FlushFileBuffers(file.get())) {
            return std::unexpected(write_failure(to, last_os_error_text()));
        }
    }
    if (!move_over(from, to)) {
        return std::unexpected(write_failure(to, last_os_error_text()));
    }
    return {};
}

void remove_file_quietly(const std::filesystem::path& path) {
    DeleteFileW(path.c_str());
}

}  // namespace vantle
