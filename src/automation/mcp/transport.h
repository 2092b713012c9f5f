#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "support/writer.h"

namespace vantle {

// No request the server understands comes near this; a client that sends
// more in one line (or never ends its line) must not make the server hold it.
inline constexpr std::size_t kMaxLineBytes = std::size_t{4} << 20;

// The longest reply line a capture makes, line feed included. Hosts refuse
// larger tool results (some at 1 MB, some close the connection past 10 MB), and
// a refused capture shows the model nothing; the preview shrinks to fit.
inline constexpr std::size_t kMaxReplyBytes = 1'000'000;

// The server's input as lines: one line feed ends a line, then one carriage
// return and surrounding Unicode white space are dropped.
class LineReader {
  public:
    enum class Status {
        kLine,     // `line` holds the next line, possibly empty
        kTooLong,  // a line of more than the limit was read and thrown away, up to
                   // and including its line feed; the connection goes on
        kEnd,      // the input has ended
        kFailed,   // reading failed or the line was not UTF-8; the connection ends
    };

    // `max_line` counts the bytes before the line feed. At most about that much
    // plus one read's worth is ever held.
    explicit LineReader(Reader& input, std::size_t max_line = kMaxLineBytes)
        : input_(input), max_line_(max_line) {}

    [[nodiscard]] Status next(std::string& line);

    // Bytes read but not yet handed out; for tests of the bound.
    [[nodiscard]] std::size_t held_bytes() const { return buffer_.size() - start_; }

  private:
    // Fills buffer_ with more input; false at the end or on failure (sets failed_).
    bool fill();
    // Reads on to the end of an overlong line, holding none of it.
    Status skip_rest_of_line();

    Reader& input_;
    std::size_t max_line_;
    std::string buffer_;
    std::size_t start_ = 0;    // where the next line begins in buffer_
    std::size_t scanned_ = 0;  // bytes of buffer_ known to hold no line feed
    bool failed_ = false;
};

// Writes `reply` as one compact line and flushes; false when either fails.
[[nodiscard]] bool write_reply(Writer& output, const nlohmann::json& reply);

}  // namespace vantle
