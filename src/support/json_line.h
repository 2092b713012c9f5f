#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vantle {

// The one writer of every JSON text the program emits: compact, members in
// ascending byte order (nlohmann::json keeps objects in a std::map), shortest
// round-trip floats with ".0" on whole values, only the quote, the backslash and
// control characters escaped, ill-formed UTF-8 replaced by U+FFFD. Ends in "\n".
[[nodiscard]] std::string json_line(const nlohmann::json& value);

// The same text without the final line feed (for JSON embedded in other text).
[[nodiscard]] std::string json_text(const nlohmann::json& value);

}  // namespace vantle
