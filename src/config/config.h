#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace vantle {

// The desktop application's settings as config.json holds them. Every field is
// always present; the order of the fields is also the order of a top-level array.
struct Config {
    std::string hotkey_region = "PrintScreen";
    std::string hotkey_full = "Shift+PrintScreen";
    std::string hotkey_screen = "Ctrl+PrintScreen";
    std::string save_dir;  // empty or blank: the default folder
    std::string format = "png";
    std::uint8_t jpeg_quality = 92;
    bool copy_to_clipboard = true;
    bool ask_where_to_save = true;
    std::string filename_pattern = "Vantle %Y-%m-%d %H-%M-%S";
    double dim = 0.45;
    bool autostart = false;
    std::string hotkey_record = "Ctrl+Shift+PrintScreen";
    bool automation_allow_desktop = false;

    friend bool operator==(const Config&, const Config&) = default;
};

// Loads the settings afresh on every call; the automation server holds one.
using SettingsProvider = std::function<Config()>;

[[nodiscard]] Config default_config();

// The largest settings file that is parsed. The real one is a few hundred
// bytes; anything past this bound is not settings and is not read further.
inline constexpr std::size_t kMaxSettingsBytes = std::size_t{1} << 20;

// Reads config.json text strictly: one JSON value with JSON white space around
// it, an object of the known keys (unknown ones skipped, none twice) or an
// array read by position. The error text names the first problem and where it
// is ("... at line L column C").
[[nodiscard]] std::expected<Config, std::string> parse_config(std::string_view text);

// <roaming application data>/invalid.vantle.app/config.json, or the same under
// the current directory when that folder is unknown.
[[nodiscard]] std::filesystem::path settings_path();

// The settings at `path`. A file that cannot be read gives the defaults
// silently; one that cannot be parsed, or that is larger than
// kMaxSettingsBytes, gives them after one warning through the process logger.
// Never fails.
[[nodiscard]] Config load_settings_from(const std::filesystem::path& path);

// load_settings_from(settings_path()).
[[nodiscard]] Config load_settings();

}  // namespace vantle
