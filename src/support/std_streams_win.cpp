#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "support/stream_writer.h"
#include "support/utf.h"
#include "support/writer.h"

namespace vantle {

namespace {

bool is_present(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// Consoles take UTF-16; older consoles refuse very long single writes, so the
// text goes out in pieces that never split a surrogate pair.
bool write_console(HANDLE handle, std::string_view text) {
    constexpr std::size_t kPiece = 8192;
    const std::u16string wide = utf16_from_utf8(text);
    std::size_t pos = 0;
    while (pos < wide.size()) {
        std::size_t count = std::min(kPiece, wide.size() - pos);
        if (pos + count < wide.size() && wide[pos + count - 1] >= 0xD800 &&
            wide[pos + count - 1] <= 0xDBFF) {
            --count;
        }
        DWORD written = 0;
        if (!WriteConsoleW(handle, wide.data() + pos, static_cast<DWORD>(count), &written,
                           nullptr) ||
            written == 0) {
            return false;
        }
        pos += written;
    }
    return true;
}

bool write_file(HANDLE handle, std::string_view text) {
    while (!text.empty()) {
        const auto count = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle, text.data(), count, &written, nullptr) || written == 0) {
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

// Redirected streams carry the UTF-8 bytes unchanged. The handle is looked up
// on every write because attaching to a parent's console replaces it.
bool write_stream(DWORD which, std::string_view text) {
    const HANDLE handle = GetStdHandle(which);
    if (!is_present(handle)) {
        return false;
    }
    return is_console(handle) ? write_console(handle, text) : write_file(handle, text);
}

class StdWriter final : public StreamWriter {
  public:
    StdWriter(DWORD which, bool buffered) : StreamWriter(buffered), which_(which) {}

  protected:
    bool write_raw(std::string_view text) override { return write_stream(which_, text); }

  private:
    DWORD which_;
};

// Standard input as UTF-8 bytes: a console is read as UTF-16 with ReadConsoleW
// and converted (a surrogate pair split across two reads is kept together);
// a redirected input is passed through unchanged.
class StdReader final : public Reader {
  public:
    std::ptrdiff_t read(std::span<char> buffer) override {
        const std::lock_guard lock(mutex_);
        if (buffer.empty()) {
            return 0;
        }
        const HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
        if (!is_present(handle)) {
            return -1;
        }
        if (!is_console(handle)) {
            DWORD got = 0;
            const auto count = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
            if (!ReadFile(handle, buffer.data(), count, &got, nullptr)) {
                // The writer closing its end of a pipe is the end of the input.
                return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
            }
            return static_cast<std::ptrdiff_t>(got);
        }
        while (pending_.empty()) {
            if (ended_) {
                return 0;
            }
            const std::ptrdiff_t status = fill_from_console(handle);
            if (status <= 0) {
                return status;
            }
        }
        const std::size_t count = std::min(buffer.size(), pending_.size());
        std::copy_n(pending_.begin(), count, buffer.begin());
        pending_.erase(0, count);
        return static_cast<std::ptrdiff_t>(count);
    }

  private:
    // Returns 1 when text (possibly none yet) was read, 0 at the end, -1 on failure.
    std::ptrdiff_t fill_from_console(HANDLE handle) {
        wchar_t units[4096];
        DWORD got = 0;
        if (!ReadConsoleW(handle, units, static_cast<DWORD>(std::size(units)), &got, nullptr)) {
            return -1;
        }
        // Ctrl+Z at the start of a line is how a console user ends the input.
        if (got == 0 || units[0] == 0x1A) {
            ended_ = true;
            if (!carry_.empty()) {
                pending_ += utf8_from_utf16(carry_);
                carry_.clear();
            }
            return pending_.empty() ? 0 : 1;
        }
        std::u16string text = std::move(carry_);
        carry_.clear();
        for (DWORD i = 0; i < got; ++i) {
            text.push_back(static_cast<char16_t>(units[i]));
        }
        if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) {
            carry_.push_back(text.back());
            text.pop_back();
        }
        pending_ += utf8_from_utf16(text);
        return 1;
    }

    std::mutex mutex_;
    std::string pending_;   // converted bytes not handed out yet
    std::u16string carry_;  // a high surrogate waiting for its pair
    bool ended_ = false;
};

}  // namespace

Writer& standard_output() {
    static StdWriter writer(STD_OUTPUT_HANDLE, true);
    return writer;
}

Writer& standard_error() {
    static StdWriter writer(STD_ERROR_HANDLE, false);
    return writer;
}

Reader& standard_input() {
    static StdReader reader;
    return reader;
}

}  // namespace vantle
