#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "config/known_folder.h"

namespace vantle {

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

std::optional<std::filesystem::path> home_folder() {
    if (auto home = environment("HOME")) {
        return std::filesystem::path(*home);
    }
    return std::nullopt;
}

// XDG base directories must be absolute; a relative value is ignored.
std::optional<std::filesystem::path> config_home() {
    if (auto value = environment("XDG_CONFIG_HOME"); value && value->front() == '/') {
        return std::filesystem::path(*value);
    }
    if (auto home = home_folder()) {
        return *home / ".config";
    }
    return std::nullopt;
}

// The XDG_PICTURES_DIR line of user-dirs.dirs: XDG_PICTURES_DIR="$HOME/Pictures".
std::optional<std::filesystem::path> pictures_from_user_dirs() {
    const auto base = config_home();
    if (!base) {
        return std::nullopt;
    }
    std::ifstream file(*base / "user-dirs.dirs");
    std::string line;
    constexpr std::string_view kKey = "XDG_PICTURES_DIR=";
    while (std::getline(file, line)) {
        std::string_view rest = line;
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) {
            rest.remove_prefix(1);
        }
        if (!rest.starts_with(kKey)) {
            continue;
        }
        rest.remove_prefix(kKey.size());
        while (!rest.empty() &&
               (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\r')) {
            rest.remove_suffix(1);
        }
        if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') {
            rest = rest.substr(1, rest.size() - 2);
        }
        std::string value;
        if (rest.starts_with("$HOME")) {
            const auto home = home_folder();
            if (!home) {
                return std::nullopt;
            }
            value = home->string();
            value += rest.substr(5);
        } else {
            value = rest;
        }
        if (value.empty() || value.front() != '/') {
            return std::nullopt;
        }
        return std::filesystem::path(value);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> known_folder(KnownFolder folder) {
    switch (folder) {
        case KnownFolder::kRoamingAppData:
            return config_home();
        case KnownFolder::kPictures:
            if (auto value = environment("XDG_PICTURES_DIR")) {
                return std::filesystem::path(*value);
            }
            if (auto from_file = pictures_from_user_dirs()) {
                return from_file;
            }
            if (auto home = home_folder()) {
                return *home / "Pictures";
            }
            return std::nullopt;
        case KnownFolder::kProfile:
            return home_folder();
    }
    return std::nullopt;
}

}  // namespace vantle
