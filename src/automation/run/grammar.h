#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "automation/run/command.h"
#include "automation/run/options.h"
#include "platform/records.h"
#include "support/cli_error.h"

namespace vantle {

// Canonical option name (a name from the option table, so the view stays valid)
// to its value; flags map to no value. Walked in byte order of the names.
using OptionMap = std::map<std::string_view, std::optional<std::string>>;

// The whole command line after the program name, as UTF-8 texts, to one
// command. Pure: touches no platform, file or setting. Every error has exit
// code 64 and is the first failure in the order the checks run: command word,
// option scan, allowed options, target, output path, numbers.
[[nodiscard]] CliResult<Command> parse_command_line(std::span<const std::string> texts);

// Where the value of --out stands in `texts` (the whole command line, as for
// parse_command_line, which must have accepted it): the index of its token
// and where the value starts in it (after "--out=", or 0). None without --out.
// Lets a caller take the value from the system's own bytes of that argument.
[[nodiscard]] std::optional<std::pair<std::size_t, std::size_t>> locate_out_value(
    std::span<const std::string> texts);

// The tokens after the command word to an option map: long options only,
// "--name=value" or "--name value", each at most once. Stops at the first error.
[[nodiscard]] CliResult<OptionMap> scan_options(std::span<const std::string> tokens);

// Fails with "`<word>` does not take <name>" for the first option in name order
// that `user` does not accept.
[[nodiscard]] CliStatus check_allowed_options(std::string_view word, const OptionMap& map,
                                              OptionUser user);

// The one target of --window (with --process), --monitor or --region.
[[nodiscard]] CliResult<CaptureTarget> parse_target(const OptionMap& map);

// "x,y,width,height" with signed x and y and non-zero unsigned sizes; none
// when the text is anything else.
[[nodiscard]] std::optional<Region> parse_region(std::string_view text);

// The value of --out, checked to end in "." + `extension` (such as "png").
[[nodiscard]] CliResult<std::string> parse_out_path(const OptionMap& map,
                                                    std::string_view extension);

// Number reading shared by every numeric option: an optional single "+" (or
// "-" where the field is signed), then one or more ASCII digits and nothing
// else; a value that overflows the type is refused.
[[nodiscard]] std::optional<std::uint64_t> read_u64(std::string_view text);
[[nodiscard]] std::optional<std::uint32_t> read_u32(std::string_view text);
[[nodiscard]] std::optional<std::int32_t> read_i32(std::string_view text);

// A decimal floating-point text: optional sign, digits with an optional "."
// (at least one digit on one side), optional exponent; or one of the words inf,
// infinity and nan in any case. The caller decides whether the value is usable.
[[nodiscard]] std::optional<double> read_double(std::string_view text);

}  // namespace vantle
