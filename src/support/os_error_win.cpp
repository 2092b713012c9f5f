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

std::string os_error_text(const std::error_code& error) {
    if (error.category() != std::generic_category()) {
        return os_error_text(static_cast<std::uint32_t>(error.value()));
    }
    struct Equivalent {
        std::errc errc;
        DWORD win32;
    };
    static constexpr Equivalent kEquivalents[] = {
        {std::errc::no_such_file_or_directory, ERROR_PATH_NOT_FOUND},
        {std::errc::not_a_directory, ERROR_DIRECTORY},
        {std::errc::is_a_directory, ERROR_ACCESS_DENIED},  // what opening a folder as a file gives
        {std::errc::file_exists, ERROR_ALREADY_EXISTS},
        {std::errc::permission_denied, ERROR_ACCESS_DENIED},
        {std::errc::no_space_on_device, ERROR_DISK_FULL},
        {std::errc::filename_too_long, ERROR_FILENAME_EXCED_RANGE},
        {std::errc::directory_not_empty, ERROR_DIR_NOT_EMPTY},
        {std::errc::invalid_argument, ERROR_INVALID_PARAMETER},
        {std::errc::not_enough_memory, ERROR_NOT_ENOUGH_MEMORY},
        {std::errc::resource_unavailable_try_again, ERROR_NOT_ENOUGH_MEMORY},
        {std::errc::read_only_file_system, ERROR_WRITE_PROTECT},
    };
    for (const Equivalent& equivalent : kEquivalents) {
        if (error == equivalent.errc) {
            return os_error_text(equivalent.win32);
        }
    }
    // No Win32 error says the same: the C library's text and the errno value.
    return format_os_error(error.message(), static_cast<std::uint32_t>(error.value()));
}

std::string last_os_error_text() {
    return os_error_text(GetLastError());
}

Error last_os_error(std::string context) {
    std::string cause = last_os_error_text();
    return Error(std::move(cause)).context(std::move(context));
}

}  // namespace vantle
