#include <windows.h>

#include <string>

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
            return std::filesystem::path(std::move(buffer));
        }
        buffer.resize(length);
    }
}

}  // namespace vantle
