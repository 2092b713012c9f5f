#include "support/error.h"

#include <cstdio>

namespace vantle {

Error::Error(std::string message) {
    chain_.push_back(std::move(message));
}

Error Error::context(std::string outer) && {
    chain_.insert(chain_.begin(), std::move(outer));
    return std::move(*this);
}

Error Error::context(std::string outer) const& {
    Error copy = *this;
    return std::move(copy).context(std::move(outer));
}

std::string Error::render() const {
    std::string text;
    for (const std::string& part : chain_) {
        if (!text.empty()) {
            text += ": ";
        }
        text += part;
    }
    return text;
}

std::string format_os_error(std::string_view system_text, std::uint32_t code) {
    // System texts often end in ".\r\n"; only trailing white space is removed.
    while (!system_text.empty() && (system_text.back() == ' ' || system_text.back() == '\t' ||
                                    system_text.back() == '\r' || system_text.back() == '\n')) {
        system_text.remove_suffix(1);
    }
    char code_text[16];
    std::snprintf(code_text, sizeof code_text, "(0x%08X)", code);
    if (system_text.empty()) {
        return code_text;
    }
    std::string text(system_text);
    text += ' ';
    text += code_text;
    return text;
}

}  // namespace vantle
