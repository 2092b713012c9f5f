#include <unistd.h>

#include <cerrno>

#include "support/stream_writer.h"
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

class FdWriter final : public StreamWriter {
  public:
    FdWriter(int fd, bool buffered) : StreamWriter(buffered), fd_(fd) {}

  protected:
    bool write_raw(std::string_view text) override { return write_all(fd_, text); }

  private:
    int fd_;
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
