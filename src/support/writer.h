#pragma once

#include <cstddef>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace vantle {

// A text sink. Failures are reported but callers of one-shot commands ignore
// them; the automation server ends its connection on the first failed write.
class Writer {
  public:
    virtual ~Writer() = default;
    // Writes all of `text` (UTF-8) or returns false.
    virtual bool write(std::string_view text) = 0;
    // Pushes buffered text to its destination; false on failure.
    virtual bool flush() = 0;
};

// A byte source for the automation server's input.
class Reader {
  public:
    virtual ~Reader() = default;
    // Reads up to `buffer.size()` bytes. Returns the count, 0 at the end of the
    // input, or -1 on a read failure.
    virtual std::ptrdiff_t read(std::span<char> buffer) = 0;
};

// Collects everything written; for tests and for building text in memory.
class StringWriter final : public Writer {
  public:
    bool write(std::string_view text) override {
        const std::lock_guard lock(mutex_);
        text_ += text;
        return true;
    }
    bool flush() override { return true; }
    [[nodiscard]] std::string text() const {
        const std::lock_guard lock(mutex_);
        return text_;
    }

  private:
    mutable std::mutex mutex_;
    std::string text_;
};

// The process's standard streams. Each write to standard error is one
// indivisible record, so lines of different threads never interleave and a
// logging thread is never held up for longer than one write of another thread.
// Standard output is buffered until `flush()`. On Windows a stream that is a
// console is written as UTF-16 through WriteConsoleW; redirected streams carry
// the UTF-8 bytes unchanged.
[[nodiscard]] Writer& standard_output();
[[nodiscard]] Writer& standard_error();
[[nodiscard]] Reader& standard_input();

}  // namespace vantle
