#pragma once

#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "config/config.h"
#include "platform/records.h"

namespace vantle::mcp {

// Tool arguments are read leniently: a member of the wrong JSON type reads as
// absent (or false, or the default) unless the tool says otherwise. An integer
// is a JSON number written without fraction or exponent: 10.0 and 1e3 are not.

// The member when it is a string.
[[nodiscard]] std::optional<std::string> text_argument(const nlohmann::json& arguments,
                                                       const char* name);
// The member when it is true or false, else false.
[[nodiscard]] bool flag_argument(const nlohmann::json& arguments, const char* name);
// The value when it is a JSON integer from 0 up.
[[nodiscard]] std::optional<std::uint64_t> non_negative_integer(const nlohmann::json& value);
// The value when it is a JSON integer within the signed 64-bit range.
[[nodiscard]] std::optional<std::int64_t> signed_integer(const nlohmann::json& value);
// The member, or none when absent.
[[nodiscard]] const nlohmann::json* find_argument(const nlohmann::json& arguments,
                                                  const char* name);

// The one target of capture and record_start ("window" with "process",
// "monitor" or "region"), or the message to fail with. The settings are loaded
// only for a monitor or a region, before their value is looked at.
[[nodiscard]] std::expected<CaptureTarget, std::string> parse_target_arguments(
    const nlohmann::json& arguments, const SettingsProvider& settings);

}  // namespace vantle::mcp
