#include "automation/run/out_path.h"

#include "support/utf.h"

namespace vantle {

namespace {

bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::optional<std::string_view> path_extension(std::string_view path) {
    if (path.size() >= 2 && path[1] == ':' && is_ascii_letter(path[0])) {
        path.remove_prefix(2);
    }
    if (const auto separator = path.find_last_of("/\\"); separator != std::string_view::npos) {
        path.remove_prefix(separator + 1);
    }
    if (path == "..") {
        return std::nullopt;
    }
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return std::nullopt;
    }
    return path.substr(dot + 1);
}

bool has_extension(std::string_view path, std::string_view extension) {
    const auto found = path_extension(path);
    return found && *found == extension;
}

std::string wrong_extension_message(std::string_view extension, std::string_view path) {
    std::string message = "the output file must end in .";
    message += extension;
    message += ": `";
    message += escape_control_characters(path);
    message += '`';
    return message;
}

}  // namespace vantle
