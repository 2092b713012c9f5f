#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include "support/error.h"

namespace vantle {

// The rendering of the calling thread's last system error (errno on POSIX,
// GetLastError() on Windows) as "<system text> (0x%08X)". Read it right after
// the failing call.
[[nodiscard]] std::string last_os_error_text();

// The rendering of a given system error code. On Windows `code` is a Win32 error
// code and is shown in its HRESULT form; on POSIX it is an errno value.
[[nodiscard]] std::string os_error_text(std::uint32_t code);

// The rendering of an error the standard library reports. On Windows it may
// carry a Win32 code (the system category) or an errno value (the generic
// category, which MinGW's std::filesystem uses for some failures); an errno
// value is shown as the Win32 error that means the same, since a Win32 code of
// that number would mean something else.
[[nodiscard]] std::string os_error_text(const std::error_code& error);

// An `Error` whose message is `context` and whose cause is the last system error.
[[nodiscard]] Error last_os_error(std::string context);

}  // namespace vantle
