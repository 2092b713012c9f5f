#include "support/stream_writer.h"

namespace vantle {

bool StreamWriter::write(std::string_view text) {
    const std::lock_guard lock(mutex_);
    if (!buffered_) {
        return write_raw(text);
    }
    buffer_ += text;
    if (buffer_.size() < kFlushAt) {
        return true;
    }
    return flush_locked();
}

bool StreamWriter::flush() {
    const std::lock_guard lock(mutex_);
    return flush_locked();
}

bool StreamWriter::flush_locked() {
    if (buffer_.empty()) {
        return true;
    }
    const bool ok = write_raw(buffer_);
    // A failed write drops the text: retrying a closed pipe only repeats the failure.
    buffer_.clear();
    return ok;
}

}  // namespace vantle
