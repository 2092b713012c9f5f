#include "automation/mcp/transport.h"

#include <algorithm>
#include <array>

#include "automation/mcp/text.h"
#include "support/json_line.h"
#include "support/utf.h"

namespace vantle {

bool LineReader::fill() {
    std::array<char, 64 * 1024> chunk;
    const std::ptrdiff_t got = input_.read(chunk);
    if (got < 0) {
        failed_ = true;
        return false;
    }
    if (got == 0) {
        return false;
    }
    buffer_.append(chunk.data(), static_cast<std::size_t>(got));
    return true;
}

LineReader::Status LineReader::skip_rest_of_line() {
    buffer_.clear();
    start_ = 0;
    scanned_ = 0;
    while (fill()) {
        const std::size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            buffer_.erase(0, end + 1);
            return Status::kTooLong;
        }
        buffer_.clear();
    }
    return failed_ ? Status::kFailed : Status::kTooLong;
}

LineReader::Status LineReader::next(std::string& line) {
    std::size_t end = std::string::npos;
    for (;;) {
        end = buffer_.find('\n', std::max(scanned_, start_));
        if (end != std::string::npos) {
            break;
        }
        scanned_ = buffer_.size();
        if (buffer_.size() - start_ > max_line_) {
            return skip_rest_of_line();
        }
        if (!fill()) {
            if (failed_) {
                return Status::kFailed;
            }
            if (buffer_.size() == start_) {
                return Status::kEnd;
            }
            end = buffer_.size();
            break;
        }
    }
    const std::size_t next_start = end < buffer_.size() ? end + 1 : end;
    if (end - start_ > max_line_) {
        start_ = next_start;
        buffer_.erase(0, start_);
        scanned_ = 0;
        start_ = 0;
        return Status::kTooLong;
    }
    std::string_view raw(buffer_.data() + start_, end - start_);
    if (raw.ends_with('\r')) {
        raw.remove_suffix(1);
    }
    if (!is_valid_utf8(raw)) {
        return Status::kFailed;
    }
    line = trim_white_space(raw);
    start_ = next_start;
    // Many short lines arrive in one read; drop the consumed text only now and then.
    if (start_ == buffer_.size() || start_ > 64 * 1024) {
        buffer_.erase(0, start_);
        scanned_ = scanned_ > start_ ? scanned_ - start_ : 0;
        start_ = 0;
    }
    return Status::kLine;
}

bool write_reply(Writer& output, const nlohmann::json& reply) {
    return output.write(json_line(reply)) && output.flush();
}

}  // namespace vantle
