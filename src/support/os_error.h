#pragma once

#include <cstdint>
#include <string>

#include "support/error.h"

namespace vantle {

// The rendering of the calling thread's last system error (errno on POSIX,
// GetLastError() on Windows) as "<system text> (0x%08X)". Read it right after
// the failing call.
[[nodiscard]] std::string last_os_error_text();

// The rendering of a given system error code. On Windows `code` is a Win32 error
// code and is shown in its HRESULT form; on POSIX it is an errno value.
[[nodiscard]] std::string os_error_text(std::uint32_t code);

// An `Error` whose message is `context` and whose cause is the last system error.
[[nodiscard]] Error last_os_error(std::string context);

}  // namespace vantle
