#include <windows.h>

#include "support/os_error.h"
#include "support/utf.h"

namespace vantle {

namespace {

std::uint32_t hresult_from_win32(std::uint32_t code) {
    // Already an HRESULT (or success): shown as it is.
    if (static_cast<std::int32_t>(code) <= 0) {
        return code;
    }
    return (code & 0x0000FFFFu) | 0x80070000u;
}

}  // namespace

std::string os_error_text(std::uint32_t code) {
    const std::uint32_t hresult = hresult_from_win32(code);
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, hresult, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length != 0 && buffer != nullptr) {
        text = utf8_from_wide(std::wstring_view(buffer, length));
    }
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    return format_os_error(text, hresult);
}

std::string last_os_error_text() {
    return os_error_text(GetLastError());
}

Error last_os_error(std::string context) {
    std::string cause = last_os_error_text();
    return Error(std::move(cause)).context(std::move(context));
}

}  // namespace vantle
