#include "automation/run/grammar.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "automation/run/options.h"
#include "automation/run/out_path.h"
#include "record/recording_id.h"
#include "support/utf.h"

namespace vantle {

namespace {

std::unexpected<CliError> usage_error(std::string message) {
    return std::unexpected(CliError::usage(std::move(message)));
}

// User input in backquotes; control characters are escaped so the message stays one line.
std::string quoted(std::string_view text) {
    std::string result = "`";
    result += escape_control_characters(text);
    result += '`';
    return result;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Digits only, at least one, accumulated without passing `limit`.
std::optional<std::uint64_t> read_magnitude(std::string_view digits, std::uint64_t limit) {
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        if (!is_digit(c)) {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::uint64_t> read_unsigned(std::string_view text, std::uint64_t limit) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    return read_magnitude(text, limit);
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != lower_word[i]) {
            return false;
        }
    }
    return true;
}

// Skips a run of digits and returns how many there were.
std::size_t skip_digits(std::string_view text, std::size_t& pos) {
    const std::size_t start = pos;
    while (pos < text.size() && is_digit(text[pos])) {
        ++pos;
    }
    return pos - start;
}

// Whether `text` is exactly a decimal floating-point number as read_double
// describes it; strtod alone would also take hexadecimal forms, leading spaces
// and trailing text.
bool is_decimal_number(std::string_view text) {
    std::size_t pos = 0;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        ++pos;
    }
    std::size_t digits = skip_digits(text, pos);
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        digits += skip_digits(text, pos);
    }
    if (digits == 0) {
        return false;
    }
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
            ++pos;
        }
        if (skip_digits(text, pos) == 0) {
            return false;
        }
    }
    return pos == text.size();
}

const std::string& value_of(const OptionMap& map, std::string_view name) {
    static const std::string kEmpty;
    const auto found = map.find(name);
    if (found == map.end() || !found->second) {
        return kEmpty;
    }
    return *found->second;
}

bool has(const OptionMap& map, std::string_view name) {
    return map.contains(name);
}

CliResult<Command> parse_record_stop(const OptionMap& map) {
    for (const auto& [name, value] : map) {
        const auto known = find_option(name);
        if (!known || !known->used_by(OptionUser::kRecordStop)) {
            return usage_error("`record --stop` does not take " + std::string(name));
        }
    }
    const std::string& id = value_of(map, "--stop");
    if (!is_recording_id(id)) {
        return usage_error(quoted(id) + " is not a recording id (they look like 1234-1)");
    }
    return RecordStop{.id = id, .json = has(map, "--json")};
}

CliResult<Command> parse_capture(const OptionMap& map) {
    if (auto allowed = check_allowed_options("capture", map, OptionUser::kCapture); !allowed) {
        return std::unexpected(std::move(allowed.error()));
    }
    auto target = parse_target(map);
    if (!target) {
        return std::unexpected(std::move(target.error()));
    }
    auto out = parse_out_path(map, "png");
    if (!out) {
        return std::unexpected(std::move(out.error()));
    }
    Capture capture;
    capture.out = std::move(*out);
    capture.target = std::move(*target);
    if (has(map, "--delay-ms")) {
        const std::string& text = value_of(map, "--delay-ms");
        const auto delay = read_u64(text);
        if (!delay) {
            return usage_error("--delay-ms needs a whole number of milliseconds, not " +
                               quoted(text));
        }
        capture.delay_ms = *delay;
    }
    capture.cursor = has(map, "--cursor");
    capture.restore = has(map, "--restore");
    capture.allow_desktop = has(map, "--allow-desktop");
    capture.json = has(map, "--json");
    return capture;
}

CliResult<Command> parse_record(const OptionMap& map) {
    if (auto allowed = check_allowed_options("record", map, OptionUser::kRecord); !allowed) {
        return std::unexpected(std::move(allowed.error()));
    }
    auto target = parse_target(map);
    if (!target) {
        return std::unexpected(std::move(target.error()));
    }
    auto out = parse_out_path(map, "mp4");
    if (!out) {
        return std::unexpected(std::move(out.error()));
    }
    Record record;
    record.out = std::move(*out);
    record.target = std::move(*target);
    if (has(map, "--fps")) {
        const std::string& text = value_of(map, "--fps");
        const auto fps = read_u32(text);
        if (!fps || *fps < 1 || *fps > 60) {
            return usage_error("--fps is 1 to 60, not " + quoted(text));
        }
        record.fps = *fps;
    }
    if (has(map, "--max-seconds")) {
        const std::string& text = value_of(map, "--max-seconds");
        const auto seconds = read_double(text);
        if (!seconds || !std::isfinite(*seconds) || !(*seconds > 0.0)) {
            return usage_error("--max-seconds needs a positive number, not " + quoted(text));
        }
        record.max_seconds = *seconds;
    }
    record.cursor = has(map, "--cursor");
    record.restore = has(map, "--restore");
    record.allow_desktop = has(map, "--allow-desktop");
    record.json = has(map, "--json");
    return record;
}

}  // namespace

CliResult<Command> parse_command_line(std::span<const std::string> texts) {
    if (texts.empty()) {
        return usage_error("no command given");
    }
    const std::string& word = texts.front();
    if (word == "-h" || word == "help" || word == "--help") {
        return Help{};
    }
    if (word == "-V" || word == "version" || word == "--version") {
        return Version{};
    }
    if (word != "windows" && word != "capture" && word != "record" && word != "mcp") {
        return usage_error("unknown command " + quoted(word));
    }
    auto map = scan_options(texts.subspan(1));
    if (!map) {
        return std::unexpected(std::move(map.error()));
    }
    if (word == "mcp") {
        if (auto allowed = check_allowed_options(word, *map, OptionUser::kMcp); !allowed) {
            return std::unexpected(std::move(allowed.error()));
        }
        return Mcp{};
    }
    if (word == "windows") {
        if (auto allowed = check_allowed_options(word, *map, OptionUser::kWindows); !allowed) {
            return std::unexpected(std::move(allowed.error()));
        }
        return Windows{.json = has(*map, "--json")};
    }
    if (word == "capture") {
        return parse_capture(*map);
    }
    if (has(*map, "--stop")) {
        return parse_record_stop(*map);
    }
    return parse_record(*map);
}

std::optional<std::pair<std::size_t, std::size_t>> locate_out_value(
    std::span<const std::string> texts) {
    // The same walk as scan_options, over tokens it has already accepted.
    for (std::size_t i = 1; i < texts.size(); ++i) {
        const std::string& token = texts[i];
        const auto equals = token.find('=');
        const std::string_view name = std::string_view(token).substr(0, equals);
        const auto known = find_option(name);
        if (!known || !known->takes_value) {
            continue;
        }
        if (equals == std::string::npos) {
            if (i + 1 >= texts.size()) {
                return std::nullopt;
            }
            if (name == "--out") {
                return std::pair{i + 1, std::size_t{0}};
            }
            ++i;
        } else if (name == "--out") {
            return std::pair{i, equals + 1};
        }
    }
    return std::nullopt;
}

CliResult<OptionMap> scan_options(std::span<const std::string> tokens) {
    OptionMap map;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        if (token.size() < 2 || !token.starts_with("--")) {
            return usage_error("unexpected argument " + quoted(token));
        }
        const auto equals = token.find('=');
        const std::string_view name = std::string_view(token).substr(0, equals);
        std::optional<std::string> inline_value;
        if (equals != std::string::npos) {
            inline_value = token.substr(equals + 1);
        }
        const auto known = find_option(name);
        if (!known) {
            return usage_error("unknown option " + quoted(name));
        }
        std::optional<std::string> value;
        if (known->takes_value) {
            if (inline_value) {
                value = std::move(inline_value);
            } else if (i + 1 < tokens.size()) {
                value = tokens[++i];
            } else {
                return usage_error(std::string(known->name) + " needs a value");
            }
        } else if (inline_value) {
            return usage_error(std::string(known->name) + " takes no value");
        }
        if (!map.emplace(known->name, std::move(value)).second) {
            return usage_error(std::string(known->name) + " given twice");
        }
    }
    return map;
}

CliStatus check_allowed_options(std::string_view word, const OptionMap& map, OptionUser user) {
    for (const auto& [name, value] : map) {
        const auto known = find_option(name);
        if (!known || !known->used_by(user)) {
            return usage_error(quoted(word) + " does not take " + std::string(name));
        }
    }
    return {};
}

CliResult<CaptureTarget> parse_target(const OptionMap& map) {
    std::vector<std::string_view> targets;
    for (std::string_view name : {"--window", "--monitor", "--region"}) {
        if (has(map, name)) {
            targets.push_back(name);
        }
    }
    if (targets.size() > 1) {
        std::string message = "give one target, not ";
        for (std::size_t i = 0; i < targets.size(); ++i) {
            if (i > 0) {
                message += " and ";
            }
            message += targets[i];
        }
        return usage_error(std::move(message));
    }
    if (has(map, "--window")) {
        WindowTarget window;
        window.title = value_of(map, "--window");
        if (window.title.empty()) {
            return usage_error("--window needs the window's exact title");
        }
        if (has(map, "--process")) {
            window.process = value_of(map, "--process");
        }
        return window;
    }
    if (has(map, "--process")) {
        return usage_error("--process only goes with --window");
    }
    if (has(map, "--restore")) {
        return usage_error("--restore only goes with --window");
    }
    if (targets.empty()) {
        return usage_error("name a target: --window, --monitor or --region");
    }
    if (has(map, "--monitor")) {
        const std::string& text = value_of(map, "--monitor");
        const auto index = read_u64(text);
        if (!index) {
            return usage_error("--monitor needs an index from `vantle windows`, not " +
                               quoted(text));
        }
        return MonitorTarget{*index};
    }
    const std::string& text = value_of(map, "--region");
    const auto region = parse_region(text);
    if (!region) {
        return usage_error("--region is x,y,width,height in desktop pixels, not " + quoted(text));
    }
    return RegionTarget{*region};
}

std::optional<Region> parse_region(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const auto comma = text.find(',', start);
        pieces.push_back(text.substr(start, comma - start));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    if (pieces.size() != 4) {
        return std::nullopt;
    }
    const auto x = read_i32(pieces[0]);
    const auto y = read_i32(pieces[1]);
    const auto width = read_u32(pieces[2]);
    const auto height = read_u32(pieces[3]);
    if (!x || !y || !width || !height || *width == 0 || *height == 0) {
        return std::nullopt;
    }
    return Region{.x = *x, .y = *y, .width = *width, .height = *height};
}

CliResult<std::string> parse_out_path(const OptionMap& map, std::string_view extension) {
    if (!has(map, "--out")) {
        return usage_error("--out <file." + std::string(extension) + "> is required");
    }
    const std::string& value = value_of(map, "--out");
    if (!has_extension(value, extension)) {
        return usage_error(wrong_extension_message(extension, value));
    }
    return value;
}

std::optional<std::uint64_t> read_u64(std::string_view text) {
    return read_unsigned(text, std::numeric_limits<std::uint64_t>::max());
}

std::optional<std::uint32_t> read_u32(std::string_view text) {
    const auto value = read_unsigned(text, std::numeric_limits<std::uint32_t>::max());
    if (!value) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

std::optional<std::int32_t> read_i32(std::string_view text) {
    bool negative = false;
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    } else if (text.starts_with('-')) {
        negative = true;
        text.remove_prefix(1);
    }
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    const auto magnitude = read_magnitude(text, negative ? kMax + 1 : kMax);
    if (!magnitude) {
        return std::nullopt;
    }
    const auto value = static_cast<std::int64_t>(*magnitude);
    return static_cast<std::int32_t>(negative ? -value : value);
}

std::optional<double> read_double(std::string_view text) {
    std::string_view unsigned_text = text;
    bool negative = false;
    if (unsigned_text.starts_with('+') || unsigned_text.starts_with('-')) {
        negative = unsigned_text.front() == '-';
        unsigned_text.remove_prefix(1);
    }
    if (equals_ignoring_ascii_case(unsigned_text, "inf") ||
        equals_ignoring_ascii_case(unsigned_text, "infinity")) {
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    if (equals_ignoring_ascii_case(unsigned_text, "nan")) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (!is_decimal_number(text)) {
        return std::nullopt;
    }
    // The text is plain ASCII decimal here; this program never changes the C
    // locale, so strtod reads "." as the decimal point. A value beyond double's
    // range reads as infinity and is refused by the caller's finiteness check.
    const std::string copy(text);
    return std::strtod(copy.c_str(), nullptr);
}

}  // namespace vantle
