// config.json text into parse_config. Besides never crashing, the parser has to
// agree with an independent JSON reader (nlohmann) about what the text holds:
// whenever both read it, the Config must be the one the table of fields
// describes, and whenever the file is refused the reason must be one the other
// reader can see too. Every error message stays on one line and names a place.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "config/config.h"

namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* what, std::string_view text, std::string_view detail) {
    std::fprintf(stderr, "settings fuzzer: %s\ninput: %.*s\ndetail: %.*s\n", what,
                 static_cast<int>(text.size()), text.data(), static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

// What the reference reader makes of the text.
struct Reference {
    enum class Verdict {
        kValid,           // `config` is what the file describes
        kInvalid,         // the file must be refused
        kNumberOverflow,  // a number beyond a double somewhere: either outcome may be right
    } verdict = Verdict::kInvalid;
    vantle::Config config;
};

std::size_t depth_of(const json& value) {
    if (!value.is_structured()) {
        return 0;
    }
    std::size_t deepest = 0;
    for (const json& element : value) {
        deepest = std::max(deepest, depth_of(element));
    }
    return deepest + 1;
}

// Applies one field the way the table of fields reads it; false on a wrong type or range.
bool apply(vantle::Config& config, std::size_t field, const json& value) {
    auto text = [&](std::string& out) {
        if (!value.is_string()) {
            return false;
        }
        out = value.get<std::string>();
        return true;
    };
    auto flag = [&](bool& out) {
        if (!value.is_boolean()) {
            return false;
        }
        out = value.get<bool>();
        return true;
    };
    switch (field) {
        case 0:
            return text(config.hotkey_region);
        case 1:
            return text(config.hotkey_full);
        case 2:
            return text(config.hotkey_screen);
        case 3:
            return text(config.save_dir);
        case 4:
            return text(config.format);
        case 5:
            if (value.is_number_unsigned() && value.get<std::uint64_t>() <= 255) {
                config.jpeg_quality = static_cast<std::uint8_t>(value.get<std::uint64_t>());
                return true;
            }
            if (value.is_number_integer() && value.get<std::int64_t>() == 0) {
                config.jpeg_quality = 0;  // "-0"
                return true;
            }
            return false;
        case 6:
            return flag(config.copy_to_clipboard);
        case 7:
            return flag(config.ask_where_to_save);
        case 8:
            return text(config.filename_pattern);
        case 9:
            if (!value.is_number()) {
                return false;
            }
            config.dim = value.get<double>();
            return true;
        case 10:
            return flag(config.autostart);
        case 11:
            return text(config.hotkey_record);
        default:
            return flag(config.automation_allow_desktop);
    }
}

constexpr std::string_view kKeys[] = {
    "hotkey_region", "hotkey_full",       "hotkey_screen",           "save_dir",         "format",
    "jpeg_quality",  "copy_to_clipboard", "ask_where_to_save",       "filename_pattern", "dim",
    "autostart",     "hotkey_record",     "automation_allow_desktop"};

Reference read_reference(std::string_view text) {
    Reference reference;
    // nlohmann skips a byte-order mark; config.json with one is refused.
    if (text.starts_with("\xEF\xBB\xBF")) {
        return reference;
    }
    // nlohmann keeps the last of two equal keys; config.json refuses a known key given twice.
    bool duplicate_known_key = false;
    std::set<std::string> top_keys;
    json value;
    try {
        value = json::parse(text, [&](int depth, json::parse_event_t event, json& parsed) {
            if (depth == 1 && event == json::parse_event_t::key) {
                const std::string key = parsed.get<std::string>();
                if (!top_keys.insert(key).second &&
                    std::find(std::begin(kKeys), std::end(kKeys), key) != std::end(kKeys)) {
                    duplicate_known_key = true;
                }
            }
            return true;
        });
    } catch (const json::out_of_range& error) {
        // A number beyond a double: nlohmann refuses it wherever it stands.
        reference.verdict =
            error.id == 406 ? Reference::Verdict::kNumberOverflow : Reference::Verdict::kInvalid;
        return reference;
    } catch (const json::exception&) {
        return reference;
    }
    if (depth_of(value) > 128) {
        return reference;
    }
    vantle::Config config;
    if (value.is_object()) {
        for (std::size_t i = 0; i < std::size(kKeys); ++i) {
            const auto it = value.find(std::string(kKeys[i]));
            if (it == value.end()) {
                continue;
            }
            if (!apply(config, i, *it)) {
                return reference;
            }
        }
        if (duplicate_known_key) {
            return reference;
        }
    } else if (value.is_array()) {
        if (value.size() > std::size(kKeys)) {
            return reference;
        }
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (!apply(config, i, value[i])) {
                return reference;
            }
        }
    } else {
        return reference;
    }
    reference.verdict = Reference::Verdict::kValid;
    reference.config = std::move(config);
    return reference;
}

void check_message(std::string_view text, const std::string& message) {
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            fail("error message is not one printable line", text, message);
        }
    }
    const std::size_t at = message.rfind(" at line ");
    if (at == std::string::npos || message.find(" column ", at) == std::string::npos) {
        fail("error message names no place", text, message);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = vantle::parse_config(text);
    if (text.find('\0') != std::string_view::npos) {
        // JSON has no place for a raw NUL byte (nlohmann would stop reading there).
        if (parsed) {
            fail("a file with a NUL byte was accepted", text, "");
        }
        check_message(text, parsed.error());
        return 0;
    }
    const Reference reference = read_reference(text);
    if (!parsed) {
        check_message(text, parsed.error());
        if (reference.verdict == Reference::Verdict::kValid) {
            fail("a valid file was refused", text, parsed.error());
        }
        return 0;
    }
    switch (reference.verdict) {
        case Reference::Verdict::kInvalid:
            fail("a file the reference refuses was accepted", text, "");
        case Reference::Verdict::kNumberOverflow:
            // Accepted only when the huge number stands where no field reads it.
            if (!std::isfinite(parsed->dim)) {
                fail("dim is not a finite number", text, "");
            }
            break;
        case Reference::Verdict::kValid:
            if (!(reference.config == *parsed)) {
                fail("the two readers disagree about a field", text, "");
            }
            break;
    }
    return 0;
}
