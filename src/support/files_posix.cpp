#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>

#include "support/files.h"
#include "support/os_error.h"
#include "support/paths.h"

namespace vantle {

namespace {

// A file descriptor closed on every path; `close()` reports the result of the
// final close, which is where some file systems report a failed write.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) {
                ::close(fd_);
            }
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    [[nodiscard]] bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

CliError write_failure(const std::filesystem::path& path, const std::string& cause) {
    return CliError::failed("could not write " + path_to_utf8(path) + ": " + cause);
}

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

// Makes the rename itself durable. A directory that cannot be opened or synced
// (some file systems refuse) does not undo a write that has already happened.
void sync_directory_of(const std::filesystem::path& path) {
    std::filesystem::path directory = path.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) {
        ::fsync(fd.get());
    }
}

// Removes what stands at `temporary`; the system's text when that fails.
std::optional<std::string> remove_temporary(const std::filesystem::path& temporary) {
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        return last_os_error_text();
    }
    return std::nullopt;
}

// Writes, flushes and closes a fresh temporary; returns the system's text on failure.
std::optional<std::string> write_temporary(const std::filesystem::path& temporary,
                                           std::span<const std::uint8_t> bytes) {
    // A file or link planted at the temporary name is removed rather than opened:
    // O_EXCL refuses anything that still stands there, links included.
    if (std::optional<std::string> failure = remove_temporary(temporary)) {
        return failure;
    }
    FileDescriptor fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        return last_os_error_text();
    }
    if (!write_all(fd.get(), bytes) || ::fsync(fd.get()) != 0) {
        return last_os_error_text();
    }
    if (!fd.close()) {
        return last_os_error_text();
    }
    return std::nullopt;
}

}  // namespace

struct DestinationClaim::State {
    explicit State(FileDescriptor held) : fd(std::move(held)) {}
    FileDescriptor fd;
};

DestinationClaim::DestinationClaim(std::unique_ptr<State> state) : state_(std::move(state)) {}
DestinationClaim::DestinationClaim(DestinationClaim&&) noexcept = default;
DestinationClaim& DestinationClaim::operator=(DestinationClaim&&) noexcept = default;
DestinationClaim::~DestinationClaim() = default;

CliResult<DestinationClaim> claim_destination(const std::filesystem::path& path) {
    const std::filesystem::path temporary = temporary_path(path);
    const auto failure = [&path] {
        return std::unexpected(write_failure(path, last_os_error_text()));
    };
    // Each round either ends or saw the name change under it (another claim
    // removing a stale file, a recording moving its file into place); a name
    // that keeps changing is someone else's work in progress.
    constexpr int kRounds = 8;
    for (int round = 0; round < kRounds; ++round) {
        bool created = true;
        FileDescriptor fd(
            ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!fd.valid() && errno == EEXIST) {
            created = false;
            fd = FileDescriptor(
                ::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!fd.valid()) {
                if (errno == ENOENT) {
                    continue;
                }
                // A link, or something we may not open: removed, never followed.
                if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
                    return failure();
                }
                continue;
            }
        }
        if (!fd.valid()) {
            return failure();
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                return std::unexpected(destination_busy(path));
            }
            return failure();
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd.get(), &held) != 0) {
            return failure();
        }
        if (::lstat(temporary.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
            held.st_ino != named.st_ino) {
            continue;  // moved or removed between the open and the lock
        }
        if (!created) {
            // Nobody holds it: a stale temporary of a recording that died.
            if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
                return failure();
            }
            continue;
        }
        return DestinationClaim(std::make_unique<DestinationClaim::State>(std::move(fd)));
    }
    return std::unexpected(destination_busy(path));
}

CliStatus write_file_atomically(const std::filesystem::path& path,
                                std::span<const std::uint8_t> bytes) {
    const std::filesystem::path temporary = temporary_path(path);
    std::optional<std::string> failure = write_temporary(temporary, bytes);
    if (!failure && ::rename(temporary.c_str(), path.c_str()) != 0) {
        failure = last_os_error_text();
    }
    if (failure) {
        remove_file_quietly(temporary);
        return std::unexpected(write_failure(path, *failure));
    }
    sync_directory_of(path);
    return {};
}

CliStatus replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    {
        FileDescriptor fd(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid() || ::fsync(fd.get()) != 0) {
            return std::unexpected(write_failure(to, last_os_error_text()));
        }
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return std::unexpected(write_failure(to, last_os_error_text()));
    }
    sync_directory_of(to);
    return {};
}

void remove_file_quietly(const std::filesystem::path& path) {
    ::unlink(path.c_str());
}

}  // namespace vantle
