#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "support/writer.h"

namespace vantle {

namespace {

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

class FdWriter final : public Writer {
  public:
    FdWriter(int fd, bool buffered) : fd_(fd), buffered_(buffered) {}

    bool write(std::string_view text) override {
        const std::lock_guard lock(mutex_);
        if (!buffered_) {
            return write_all(fd_, text);
        }
        buffer_ += text;
        if (buffer_.size() < kFlushAt) {
            return true;
        }
        return flush_locked();
    }

    bool flush() override {
        const std::lock_guard lock(mutex_);
        return flush_locked();
    }

  private:
    static constexpr std::size_t kFlushAt = 64 * 1024;

    bool flush_locked() {
        const bool ok = write_all(fd_, buffer_);
        // A failed write drops the text: retrying a closed pipe only repeats the failure.
        buffer_.clear();
        return ok;
    }

    int fd_;
    bool buffered_;
    std::mutex mutex_;
    std::string buffer_;
};

class FdReader final : public Reader {
  public:
    explicit FdReader(int fd) : fd_(fd) {}
    std::ptrdiff_t read(std::span<char> buffer) override {
        for (;;) {
            const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return got;
        }
    }

  private:
    int fd_;
};

}  // namespace

Writer& standard_output() {
    static FdWriter writer(STDOUT_FILENO, true);
    return writer;
}

Writer& standard_error() {
    static FdWriter writer(STDERR_FILENO, false);
    return writer;
}

Reader& standard_input() {
    static FdReader reader(STDIN_FILENO);
    return reader;
}

}  // namespace vantle
