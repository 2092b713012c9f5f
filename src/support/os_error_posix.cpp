#include <cerrno>
#include <cstring>

#include "support/os_error.h"

namespace vantle {

std::string os_error_text(std::uint32_t code) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not live in `buffer`.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    return format_os_error(text != nullptr ? text : "", code);
}

std::string os_error_text(const std::error_code& error) {
    // Both the generic and the system category hold errno values here.
    return os_error_text(static_cast<std::uint32_t>(error.value()));
}

std::string last_os_error_text() {
    return os_error_text(static_cast<std::uint32_t>(errno));
}

Error last_os_error(std::string context) {
    std::string cause = last_os_error_text();
    return Error(std::move(cause)).context(std::move(context));
}

}  // namespace vantle
