#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "support/writer.h"

namespace vantle {

// The server's input as lines: one line feed ends a line, then one carriage
// return and surrounding Unicode white space are dropped.
class LineReader {
  public:
    enum class Status {
        kLine,    // `line` holds the next line, possibly empty
        kEnd,     // the input has ended
        kFailed,  // reading failed or the line was not UTF-8; the connection ends
    };

    explicit LineReader(Reader& input) : input_(input) {}

    [[nodiscard]] Status next(std::string& line);

  private:
    // Fills buffer_ with more input; false at the end or on failure (sets failed_).
    bool fill();

    Reader& input_;
    std::string buffer_;
    std::size_t start_ = 0;    // where the next line begins in buffer_
    std::size_t scanned_ = 0;  // bytes of buffer_ known to hold no line feed
    bool failed_ = false;
};

// Writes `reply` as one compact line and flushes; false when either fails.
[[nodiscard]] bool write_reply(Writer& output, const nlohmann::json& reply);

}  // namespace vantle
