#include "automation/mcp/output_path.h"

#include <cstdio>
#include <system_error>

#include "automation/mcp/arguments.h"
#include "automation/mcp/text.h"
#include "automation/run/out_path.h"
#include "config/known_folder.h"
#include "support/files.h"
#include "support/os_error.h"
#include "support/paths.h"

namespace vantle::mcp {

namespace {

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

std::string two_digits(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

bool path_is_taken(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    // Metadata that cannot be read marks the name as free.
    return !error && status.type() != std::filesystem::file_type::not_found;
}

}  // namespace

std::filesystem::path default_save_folder(const Config& config) {
    const std::string_view trimmed = trim_white_space(config.save_dir);
    if (!trimmed.empty()) {
        return path_from_utf8(trimmed);
    }
    if (auto pictures = known_folder(KnownFolder::kPictures)) {
        return *pictures / "Vantle";
    }
    if (auto profile = known_folder(KnownFolder::kProfile)) {
        return *profile / "Vantle";
    }
    return std::filesystem::path(".") / "Vantle";
}

std::string expand_filename_pattern(std::string_view pattern, const std::tm& now) {
    std::string text(pattern);
    char year[16];
    std::snprintf(year, sizeof year, "%04d", now.tm_year + 1900);
    replace_all(text, "%Y", year);
    replace_all(text, "%m", two_digits(now.tm_mon + 1));
    replace_all(text, "%d", two_digits(now.tm_mday));
    replace_all(text, "%H", two_digits(now.tm_hour));
    replace_all(text, "%M", two_digits(now.tm_min));
    replace_all(text, "%S", two_digits(now.tm_sec));
    for (char& c : text) {
        switch (c) {
            case '/':
            case '\\':
            case ':':
            case '*':
            case '?':
            case '"':
            case '<':
            case '>':
            case '|':
            case '\n':
            case '\r':
                c = '-';
                break;
            default:
                break;
        }
    }
    return text;
}

std::filesystem::path first_free_name(const std::filesystem::path& folder, std::string_view stem,
                                      std::string_view extension) {
    const std::string dot_extension = "." + std::string(extension);
    std::filesystem::path candidate = folder / path_from_utf8(std::string(stem) + dot_extension);
    for (std::uint64_t n = 2; path_is_taken(candidate) || path_is_taken(temporary_path(candidate));
         ++n) {
        candidate = folder / path_from_utf8(std::string(stem) + " (" + std::to_string(n) + ")" +
                                            dot_extension);
    }
    return candidate;
}

std::expected<std::filesystem::path, std::string> resolve_output_path(
    const nlohmann::json& arguments, const SettingsProvider& settings, std::string_view extension) {
    if (const std::optional<std::string> out = text_argument(arguments, "out")) {
        if (!has_extension(*out, extension)) {
            return std::unexpected(wrong_extension_message(extension, *out));
        }
        return path_from_utf8(*out);
    }
    const Config config = settings();
    const std::filesystem::path folder = default_save_folder(config);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        return std::unexpected("could not create " + path_to_utf8(folder) + ": " +
                               os_error_text(error));
    }
    return first_free_name(
        folder, expand_filename_pattern(config.filename_pattern, local_time_now()), extension);
}

}  // namespace vantle::mcp
