#include <windows.h>

#include <string>
#include <string_view>

#include "support/os_error.h"
#include "support/paths.h"
#include "support/utf.h"

namespace vantle {

std::filesystem::path path_from_utf8(std::string_view text) {
    return std::filesystem::path(wide_from_utf8(text));
}

std::string path_to_utf8(const std::filesystem::path& path) {
    return utf8_from_wide(path.native());
}

namespace {

// A colon after the drive names an NTFS alternate data stream: "shot 17:30.png"
// in C:\shots is the stream "30.png" of a file "shot 17", which no folder
// listing shows, so the picture would land where its user cannot find it.
bool names_a_stream(std::wstring_view full) {
    for (const std::wstring_view prefix : {L"\\\\?\\", L"\\\\.\\"}) {
        if (full.starts_with(prefix)) {
            full.remove_prefix(prefix.size());
            break;
        }
    }
    if (full.size() >= 2 && full[1] == L':') {
        full.remove_prefix(2);
    }
    return full.find(L':') != std::wstring_view::npos;
}

}  // namespace

CliResult<std::filesystem::path> absolute_path(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    if (text.empty()) {
        return std::unexpected(
            CliError::failed(path_to_utf8(path) + ": cannot make an empty path absolute"));
    }
    if (text.find(L'\0') != std::wstring::npos) {
        return std::unexpected(
            CliError::failed(path_to_utf8(path) + ": " + os_error_text(ERROR_INVALID_NAME)));
    }
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(text.c_str(), static_cast<DWORD>(buffer.size()),
                                              buffer.data(), nullptr);
        if (length == 0) {
            return std::unexpected(
                CliError::failed(path_to_utf8(path) + ": " + last_os_error_text()));
        }
        // A result that does not fit reports the size it needs, terminator included.
        if (length < buffer.size()) {
            buffer.resize(length);
            if (names_a_stream(buffer)) {
                return std::unexpected(CliError::failed(path_to_utf8(path) + ": " +
                                                        os_error_text(ERROR_INVALID_NAME)));
            }
            return std::filesystem::path(std::move(buffer));
        }
        buffer.resize(length);
    }
}

}  // namespace vantle
