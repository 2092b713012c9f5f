#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "support/writer.h"

namespace vantle {

// The locking and buffering that both systems' standard streams share: every
// write is one indivisible record under the stream's lock; a buffered stream
// holds its text until `flush()` or until 64 KiB have gathered. The system side
// supplies only `write_raw`, which writes all of a text or reports failure.
class StreamWriter : public Writer {
  public:
    explicit StreamWriter(bool buffered) : buffered_(buffered) {}

    bool write(std::string_view text) final;
    bool flush() final;

  protected:
    // Called with the lock held.
    virtual bool write_raw(std::string_view text) = 0;

  private:
    static constexpr std::size_t kFlushAt = 64 * 1024;

    bool flush_locked();

    bool buffered_;
    std::mutex mutex_;
    std::string buffer_;
};

}  // namespace vantle
