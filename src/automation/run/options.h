#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vantle {

// The command forms that take options, as bits of `OptionInfo::commands`.
enum class OptionUser : std::uint8_t {
    kWindows = 1 << 0,
    kCapture = 1 << 1,
    kRecord = 1 << 2,
    kRecordStop = 1 << 3,
    kMcp = 1 << 4,
};

// One known option: its canonical name, whether it takes a value, and which
// command forms accept it. The scanner, the allowed-option checks and the tests
// that compare it with the usage text all read this one table.
struct OptionInfo {
    std::string_view name;
    bool takes_value = false;
    std::uint8_t commands = 0;  // OptionUser bits

    [[nodiscard]] constexpr bool used_by(OptionUser user) const {
        return (commands & static_cast<std::uint8_t>(user)) != 0;
    }
};

// Every option, in ascending byte order of the names: the order in which an
// option map is walked, and so which option is named when several are wrong.
[[nodiscard]] const std::array<OptionInfo, 13>& option_table();

// The table entry whose name is exactly `name`, or none.
[[nodiscard]] std::optional<OptionInfo> find_option(std::string_view name);

}  // namespace vantle
