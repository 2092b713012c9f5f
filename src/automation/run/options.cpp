#include "automation/run/options.h"

#include <algorithm>

namespace vantle {

namespace {

constexpr std::uint8_t bits(std::initializer_list<OptionUser> users) {
    std::uint8_t value = 0;
    for (OptionUser user : users) {
        value = static_cast<std::uint8_t>(value | static_cast<std::uint8_t>(user));
    }
    return value;
}

using enum OptionUser;

constexpr std::array<OptionInfo, 13> kOptions = {{
    {"--allow-desktop", false, bits({kCapture, kRecord})},
    {"--cursor", false, bits({kCapture, kRecord})},
    {"--delay-ms", true, bits({kCapture})},
    {"--fps", true, bits({kRecord})},
    {"--json", false, bits({kWindows, kCapture, kRecord, kRecordStop})},
    {"--max-seconds", true, bits({kRecord})},
    {"--monitor", true, bits({kCapture, kRecord})},
    {"--out", true, bits({kCapture, kRecord})},
    {"--process", true, bits({kCapture, kRecord})},
    {"--region", true, bits({kCapture, kRecord})},
    {"--restore", false, bits({kCapture, kRecord})},
    {"--stop", true, bits({kRecordStop})},
    {"--window", true, bits({kCapture, kRecord})},
}};

static_assert(std::ranges::is_sorted(kOptions, {}, &OptionInfo::name),
              "the option table must stay in byte order of the names");

}  // namespace

const std::array<OptionInfo, 13>& option_table() {
    return kOptions;
}

std::optional<OptionInfo> find_option(std::string_view name) {
    const auto* found = std::ranges::find(kOptions, name, &OptionInfo::name);
    if (found == kOptions.end()) {
        return std::nullopt;
    }
    return *found;
}

}  // namespace vantle
