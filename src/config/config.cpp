#include "config/config.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "config/known_folder.h"
#include "support/logger.h"
#include "support/utf.h"

namespace vantle {

namespace {

constexpr std::string_view kLogTarget = "vantle_lib::config";
// Deeper values are refused rather than followed, so a hostile file cannot
// exhaust the stack.
constexpr int kMaxDepth = 128;

enum class FieldType { kText, kBoolean, kByte, kNumber };

struct Field {
    std::string_view key;
    FieldType type;
};

// In the order of `Config`, which is also the order of a top-level array.
constexpr std::array<Field, 13> kFields{{
    {"hotkey_region", FieldType::kText},
    {"hotkey_full", FieldType::kText},
    {"hotkey_screen", FieldType::kText},
    {"save_dir", FieldType::kText},
    {"format", FieldType::kText},
    {"jpeg_quality", FieldType::kByte},
    {"copy_to_clipboard", FieldType::kBoolean},
    {"ask_where_to_save", FieldType::kBoolean},
    {"filename_pattern", FieldType::kText},
    {"dim", FieldType::kNumber},
    {"autostart", FieldType::kBoolean},
    {"hotkey_record", FieldType::kText},
    {"automation_allow_desktop", FieldType::kBoolean},
}};

enum class Kind { kNull, kBoolean, kInteger, kFloat, kString, kArray, kObject };

// A parsed value as far as a field needs it; arrays and objects are only checked.
struct Value {
    Kind kind = Kind::kNull;
    bool boolean = false;
    std::string text;  // a string's content, or a number's literal
};

struct Failure {
    std::string message;
};

class ConfigParser {
  public:
    explicit ConfigParser(std::string_view text) : text_(text) {}

    std::expected<Config, std::string> run() {
        Config config;
        if (auto failure = parse_document(config)) {
            return std::unexpected(std::move(failure->message));
        }
        return config;
    }

  private:
    using Outcome = std::optional<Failure>;

    Outcome parse_document(Config& config) {
        skip_white_space();
        if (at_end()) {
            return fail("EOF while parsing a value", pos_);
        }
        Outcome outcome;
        if (peek() == '{') {
            outcome = parse_object(config);
        } else if (peek() == '[') {
            outcome = parse_array(config);
        } else {
            const std::size_t start = pos_;
            Value value;
            outcome = parse_value(value, 1);
            if (!outcome) {
                outcome =
                    fail("invalid type: " + describe(value) + ", expected struct Config", start);
            }
        }
        if (outcome) {
            return outcome;
        }
        skip_white_space();
        if (!at_end()) {
            return fail("trailing characters", pos_);
        }
        return std::nullopt;
    }

    Outcome parse_object(Config& config) {
        ++pos_;  // '{'
        std::array<bool, kFields.size()> seen{};
        skip_white_space();
        if (consume('}')) {
            return std::nullopt;
        }
        for (;;) {
            skip_white_space();
            if (at_end()) {
                return fail("EOF while parsing an object", pos_);
            }
            if (peek() != '"') {
                return fail(peek() == '}' ? "trailing comma" : "key must be a string", pos_);
            }
            const std::size_t key_start = pos_;
            std::string key;
            if (auto failure = parse_string(key)) {
                return failure;
            }
            skip_white_space();
            if (at_end()) {
                return fail("EOF while parsing an object", pos_);
            }
            if (!consume(':')) {
                return fail("expected `:`", pos_);
            }
            skip_white_space();
            const std::size_t value_start = pos_;
            Value value;
            const std::optional<std::size_t> field = field_index(key);
            if (field) {
                if (seen[*field]) {
                    return fail("duplicate field `" + key + "`", key_start);
                }
                seen[*field] = true;
            }
            if (auto failure = parse_value(value, 2)) {
                return failure;
            }
            if (field) {
                if (auto failure = assign(config, *field, value, value_start)) {
                    return failure;
                }
            }
            skip_white_space();
            if (at_end()) {
                return fail("EOF while parsing an object", pos_);
            }
            if (consume('}')) {
                return std::nullopt;
            }
            if (!consume(',')) {
                return fail("expected `,` or `}`", pos_);
            }
        }
    }

    Outcome parse_array(Config& config) {
        ++pos_;  // '['
        skip_white_space();
        if (consume(']')) {
            return std::nullopt;
        }
        for (std::size_t index = 0;; ++index) {
            skip_white_space();
            if (at_end()) {
                return fail("EOF while parsing a list", pos_);
            }
            if (peek() == ']') {
                return fail("trailing comma", pos_);
            }
            const std::size_t value_start = pos_;
            if (index >= kFields.size()) {
                return fail("invalid length, expected at most 13 elements in the array",
                            value_start);
            }
            Value value;
            if (auto failure = parse_value(value, 2)) {
                return failure;
            }
            if (auto failure = assign(config, index, value, value_start)) {
                return failure;
            }
            skip_white_space();
            if (at_end()) {
                return fail("EOF while parsing a list", pos_);
            }
            if (consume(']')) {
                return std::nullopt;
            }
            if (!consume(',')) {
                return fail("expected `,` or `]`", pos_);
            }
        }
    }

    // Any JSON value; nested arrays and objects are checked and dropped.
    Outcome parse_value(Value& value, int depth) {
        if (at_end()) {
            return fail("EOF while parsing a value", pos_);
        }
        const char c = peek();
        if (c == '"') {
            value.kind = Kind::kString;
            return parse_string(value.text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            return parse_number(value);
        }
        if (c == '{' || c == '[') {
            if (depth > kMaxDepth) {
                return fail("recursion limit exceeded", pos_);
            }
            value.kind = c == '{' ? Kind::kObject : Kind::kArray;
            return skip_container(depth);
        }
        for (const auto& [word, kind, boolean] :
             {std::tuple{std::string_view("true"), Kind::kBoolean, true},
              std::tuple{std::string_view("false"), Kind::kBoolean, false},
              std::tuple{std::string_view("null"), Kind::kNull, false}}) {
            if (c != word.front()) {
                continue;
            }
            for (std::size_t i = 0; i < word.size(); ++i) {
                if (at_end()) {
                    return fail("EOF while parsing a value", pos_);
                }
                if (peek() != word[i]) {
                    return fail("expected ident", pos_);
                }
                ++pos_;
            }
            value.kind = kind;
            value.boolean = boolean;
            return std::nullopt;
        }
        return fail("expected value", pos_);
    }

    Outcome skip_container(int depth) {
        const bool object = peek() == '{';
        const char close = object ? '}' : ']';
        const char* const eof_text =
            object ? "EOF while parsing an object" : "EOF while parsing a list";
        ++pos_;
        skip_white_space();
        if (consume(close)) {
            return std::nullopt;
        }
        for (;;) {
            skip_white_space();
            if (at_end()) {
                return fail(eof_text, pos_);
            }
            if (peek() == close) {
                return fail("trailing comma", pos_);
            }
            if (object) {
                if (peek() != '"') {
                    return fail("key must be a string", pos_);
                }
                std::string key;
                if (auto failure = parse_string(key)) {
                    return failure;
                }
                skip_white_space();
                if (at_end()) {
                    return fail(eof_text, pos_);
                }
                if (!consume(':')) {
                    return fail("expected `:`", pos_);
                }
                skip_white_space();
            }
            Value value;
            if (auto failure = parse_value(value, depth + 1)) {
                return failure;
            }
            skip_white_space();
            if (at_end()) {
                return fail(eof_text, pos_);
            }
            if (consume(close)) {
                return std::nullopt;
            }
            if (!consume(',')) {
                return fail(object ? "expected `,` or `}`" : "expected `,` or `]`", pos_);
            }
        }
    }

    Outcome parse_string(std::string& out) {
        ++pos_;  // '"'
        out.clear();
        for (;;) {
            if (at_end()) {
                return fail("EOF while parsing a string", pos_);
            }
            const auto c = static_cast<unsigned char>(peek());
            if (c == '"') {
                ++pos_;
                return std::nullopt;
            }
            if (c < 0x20) {
                return fail("control character (\\u0000-\\u001F) found while parsing a string",
                            pos_);
            }
            if (c == '\\') {
                if (auto failure = parse_escape(out)) {
                    return failure;
                }
                continue;
            }
            if (c < 0x80) {
                out.push_back(static_cast<char>(c));
                ++pos_;
                continue;
            }
            const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            const std::string_view sequence = text_.substr(pos_, length);
            if (sequence.size() != length || !is_valid_utf8(sequence)) {
                return fail("invalid unicode code point", pos_);
            }
            out += sequence;
            pos_ += length;
        }
    }

    Outcome parse_escape(std::string& out) {
        const std::size_t start = pos_;
        ++pos_;  // '\\'
        if (at_end()) {
            return fail("EOF while parsing a string", pos_);
        }
        const char c = peek();
        ++pos_;
        switch (c) {
            case '"':
                out.push_back('"');
                return std::nullopt;
            case '\\':
                out.push_back('\\');
                return std::nullopt;
            case '/':
                out.push_back('/');
                return std::nullopt;
            case 'b':
                out.push_back('\b');
                return std::nullopt;
            case 'f':
                out.push_back('\f');
                return std::nullopt;
            case 'n':
                out.push_back('\n');
                return std::nullopt;
            case 'r':
                out.push_back('\r');
                return std::nullopt;
            case 't':
                out.push_back('\t');
                return std::nullopt;
            case 'u':
                break;
            default:
                return fail("invalid escape", start);
        }
        char32_t unit = 0;
        if (auto failure = parse_hex4(unit)) {
            return failure;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return fail("lone trailing surrogate in hex escape", start);
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (text_.substr(pos_, 2) != "\\u") {
                return fail("lone leading surrogate in hex escape", start);
            }
            pos_ += 2;
            char32_t low = 0;
            if (auto failure = parse_hex4(low)) {
                return failure;
            }
            if (low < 0xDC00 || low > 0xDFFF) {
                return fail("lone leading surrogate in hex escape", start);
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, unit);
        return std::nullopt;
    }

    Outcome parse_hex4(char32_t& unit) {
        for (int i = 0; i < 4; ++i) {
            if (at_end()) {
                return fail("EOF while parsing a string", pos_);
            }
            const char c = peek();
            unsigned digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return fail("invalid escape", pos_);
            }
            unit = (unit << 4) | digit;
            ++pos_;
        }
        return std::nullopt;
    }

    Outcome parse_number(Value& value) {
        const std::size_t start = pos_;
        bool fraction = false;
        consume('-');
        if (at_end()) {
            return fail("EOF while parsing a value", pos_);
        }
        if (peek() == '0') {
            ++pos_;
        } else if (!skip_digits()) {
            return fail("invalid number", pos_);
        }
        if (consume('.')) {
            fraction = true;
            if (!skip_digits()) {
                return fail(at_end() ? "EOF while parsing a value" : "invalid number", pos_);
            }
        }
        if (consume('e') || consume('E')) {
            fraction = true;
            if (!consume('+')) {
                consume('-');
            }
            if (!skip_digits()) {
                return fail(at_end() ? "EOF while parsing a value" : "invalid number", pos_);
            }
        }
        value.kind = fraction ? Kind::kFloat : Kind::kInteger;
        value.text = std::string(text_.substr(start, pos_ - start));
        return std::nullopt;
    }

    bool skip_digits() {
        const std::size_t start = pos_;
        while (!at_end() && peek() >= '0' && peek() <= '9') {
            ++pos_;
        }
        return pos_ > start;
    }

    Outcome assign(Config& config, std::size_t field, const Value& value, std::size_t at) {
        const auto expected = [&](std::string_view what) {
            return fail("invalid type: " + describe(value) + ", expected " + std::string(what), at);
        };
        switch (kFields[field].type) {
            case FieldType::kText:
                if (value.kind != Kind::kString) {
                    return expected("a string");
                }
                text_field(config, field) = value.text;
                return std::nullopt;
            case FieldType::kBoolean:
                if (value.kind != Kind::kBoolean) {
                    return expected("a boolean");
                }
                boolean_field(config, field) = value.boolean;
                return std::nullopt;
            case FieldType::kByte: {
                if (value.kind != Kind::kInteger) {
                    return expected("u8");
                }
                unsigned number = 0;
                const std::string_view digits =
                    value.text == "-0" ? std::string_view("0") : std::string_view(value.text);
                const auto [end, error] =
                    std::from_chars(digits.data(), digits.data() + digits.size(), number);
                if (error != std::errc() || end != digits.data() + digits.size() || number > 255) {
                    return fail("invalid value: integer `" + value.text + "`, expected u8", at);
                }
                config.jpeg_quality = static_cast<std::uint8_t>(number);
                return std::nullopt;
            }
            case FieldType::kNumber: {
                if (value.kind != Kind::kInteger && value.kind != Kind::kFloat) {
                    return expected("f64");
                }
                // strtod, not from_chars: libc++ 16 has no floating-point from_chars. The
                // program never changes the C locale, so the decimal point is '.'.
                const double number = std::strtod(value.text.c_str(), nullptr);
                if (!std::isfinite(number)) {
                    return fail("number out of range", at);
                }
                config.dim = number;
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    static std::string& text_field(Config& config, std::size_t field) {
        switch (field) {
            case 0:
                return config.hotkey_region;
            case 1:
                return config.hotkey_full;
            case 2:
                return config.hotkey_screen;
            case 3:
                return config.save_dir;
            case 4:
                return config.format;
            case 8:
                return config.filename_pattern;
            default:
                return config.hotkey_record;
        }
    }

    static bool& boolean_field(Config& config, std::size_t field) {
        switch (field) {
            case 6:
                return config.copy_to_clipboard;
            case 7:
                return config.ask_where_to_save;
            case 10:
                return config.autostart;
            default:
                return config.automation_allow_desktop;
        }
    }

    static std::optional<std::size_t> field_index(std::string_view key) {
        for (std::size_t i = 0; i < kFields.size(); ++i) {
            if (kFields[i].key == key) {
                return i;
            }
        }
        return std::nullopt;
    }

    static std::string describe(const Value& value) {
        switch (value.kind) {
            case Kind::kNull:
                return "null";
            case Kind::kBoolean:
                return value.boolean ? "boolean `true`" : "boolean `false`";
            case Kind::kInteger:
                return "integer `" + value.text + "`";
            case Kind::kFloat:
                return "floating point `" + value.text + "`";
            case Kind::kString:
                // Escaped, so the warning that quotes it stays one line whatever the file holds.
                return "string \"" + escape_control_characters(value.text) + "\"";
            case Kind::kArray:
                return "sequence";
            case Kind::kObject:
                return "map";
        }
        return "value";
    }

    // Lines count line feeds; columns count characters from 1.
    Outcome fail(std::string message, std::size_t at) const {
        std::size_t line = 1;
        std::size_t column = 1;
        for (std::size_t i = 0; i < at && i < text_.size(); ++i) {
            const auto c = static_cast<unsigned char>(text_[i]);
            if (c == '\n') {
                ++line;
                column = 1;
            } else if ((c & 0xC0) != 0x80) {
                ++column;
            }
        }
        message += " at line " + std::to_string(line) + " column " + std::to_string(column);
        return Failure{std::move(message)};
    }

    void skip_white_space() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++pos_;
        }
    }
    [[nodiscard]] bool at_end() const { return pos_ >= text_.size(); }
    [[nodiscard]] char peek() const { return text_[pos_]; }
    bool consume(char c) {
        if (!at_end() && peek() == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// What reading the file gave: nothing (no file, no access: the defaults without
// a word), its bytes, or the news that it is too large to be settings.
struct FileRead {
    std::optional<std::string> bytes;
    bool too_large = false;
};

FileRead read_file(const std::filesystem::path& path) {
    std::error_code error;
    // A folder opens as a stream on some systems and then reads as empty.
    if (!std::filesystem::is_regular_file(path, error)) {
        return {};
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {};
    }
    // The file is read for every request; a huge one must cost no more than a
    // bounded read, whatever its size claims or becomes while it is read.
    std::string bytes(kMaxSettingsBytes + 1, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (file.bad()) {
        return {};
    }
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    if (bytes.size() > kMaxSettingsBytes) {
        return {std::nullopt, true};
    }
    return {std::move(bytes), false};
}

}  // namespace

Config default_config() {
    return Config{};
}

std::expected<Config, std::string> parse_config(std::string_view text) {
    return ConfigParser(text).run();
}

std::filesystem::path settings_path() {
    std::filesystem::path base = known_folder(KnownFolder::kRoamingAppData).value_or(".");
    return base / "invalid.vantle.app" / "config.json";
}

Config load_settings_from(const std::filesystem::path& path) {
    const FileRead read = read_file(path);
    if (read.too_large) {
        log_warn(kLogTarget, "config.json unreadable (the file is larger than " +
                                 std::to_string(kMaxSettingsBytes) +
                                 " bytes); falling back to defaults");
        return default_config();
    }
    if (!read.bytes) {
        return default_config();
    }
    auto parsed = parse_config(*read.bytes);
    if (!parsed) {
        log_warn(kLogTarget,
                 "config.json unreadable (" + parsed.error() + "); falling back to defaults");
        return default_config();
    }
    return std::move(*parsed);
}

Config load_settings() {
    return load_settings_from(settings_path());
}

}  // namespace vantle
