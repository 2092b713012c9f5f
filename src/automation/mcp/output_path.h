#pragma once

#include <ctime>
#include <expected>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "config/config.h"

namespace vantle::mcp {

// Where a tool writes its file: "out" when it is a string with the right
// extension (the settings are not loaded then), else a fresh name in the save
// folder, which is created. The message is the one to fail the tool with.
[[nodiscard]] std::expected<std::filesystem::path, std::string> resolve_output_path(
    const nlohmann::json& arguments, const SettingsProvider& settings, std::string_view extension);

// save_dir trimmed when it holds anything else than white space, else the
// Pictures folder's "Vantle", else the profile's, else ".\Vantle".
[[nodiscard]] std::filesystem::path default_save_folder(const Config& config);

// The pattern with %Y %m %d %H %M %S replaced from `now` (in that order over
// the whole text) and the characters that cannot stand in a file name
// (/ \ : * ? " < > | and line breaks) replaced by "-".
[[nodiscard]] std::string expand_filename_pattern(std::string_view pattern, const std::tm& now);

// The first of "<stem>.<ext>", "<stem> (2).<ext>", ... in `folder` such that
// neither it nor its ".vantle-tmp" sibling exists.
[[nodiscard]] std::filesystem::path first_free_name(const std::filesystem::path& folder,
                                                    std::string_view stem,
                                                    std::string_view extension);

// The local date and time now.
[[nodiscard]] std::tm local_time_now();

}  // namespace vantle::mcp
