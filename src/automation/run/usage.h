#pragma once

#include <string_view>

#include "vantle/version.h"

namespace vantle {

// The usage text, shown for `--help` (standard output), for a command line
// without arguments and after a grammar error (standard error). It has no line
// feed of its own; every writer adds one.
[[nodiscard]] std::string_view usage_text();

// The version line's text, without its line feed.
inline constexpr std::string_view kVersionText = "vantle " VANTLE_VERSION;

}  // namespace vantle
