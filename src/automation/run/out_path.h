#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantle {

// The extension of a path as typed: the text after the last "." of its final
// component, where components are separated by "/" or "\" and a leading drive
// such as "C:" is no component. A final component whose only "." is its first
// character (".png"), and "..", have none. Shared by the command line and the
// automation server so both accept exactly the same names.
[[nodiscard]] std::optional<std::string_view> path_extension(std::string_view path);

// True when the extension is exactly `extension` (byte for byte, so "PNG" is
// not "png").
[[nodiscard]] bool has_extension(std::string_view path, std::string_view extension);

// "the output file must end in .<extension>: `<path>`".
[[nodiscard]] std::string wrong_extension_message(std::string_view extension,
                                                  std::string_view path);

}  // namespace vantle
