#pragma once

#include <string>
#include <string_view>

namespace vantle {

// `text` without leading and trailing Unicode White_Space characters.
[[nodiscard]] std::string_view trim_white_space(std::string_view text);

// Full Unicode lower-casing (the unconditional mappings plus the final-sigma
// rule, no language-specific ones). Ill-formed UTF-8 is first replaced as
// utf8_lossy does.
[[nodiscard]] std::string to_lower(std::string_view text);

// Only A-Z changed.
[[nodiscard]] std::string to_ascii_lower(std::string_view text);

}  // namespace vantle
