#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/os_error.h"
#include "support/paths.h"
#include "support/utf.h"

namespace vantle {

namespace {

CliResult<std::string> current_directory() {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return std::unexpected(CliError::failed(last_os_error_text()));
        }
        buffer.resize(buffer.size() * 2);
    }
    std::string directory(buffer.data());
    // Linux reports a directory that is no longer reachable from the root as
    // "(unreachable)/...", which is no path at all.
    if (directory.empty() || directory.front() != '/') {
        return std::unexpected(CliError::failed(os_error_text(ENOENT)));
    }
    return directory;
}

// Folds "." and ".." of an absolute path and collapses repeated separators;
// ".." at the root stays at the root, as the kernel resolves it.
std::string fold(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string_view::npos) {
            next = path.size();
        }
        const std::string_view part = path.substr(pos, next - pos);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = next + 1;
    }
    std::string folded;
    for (const std::string_view part : parts) {
        folded += '/';
        folded += part;
    }
    if (folded.empty()) {
        folded = "/";
    } else if (path.ends_with('/')) {
        // A name that ends in a separator stays a directory name.
        folded += '/';
    }
    return folded;
}

}  // namespace

std::filesystem::path path_from_utf8(std::string_view text) {
    return std::filesystem::path(std::string(text));
}

std::string path_to_utf8(const std::filesystem::path& path) {
    return utf8_lossy(path.native());
}

CliResult<std::filesystem::path> absolute_path(const std::filesystem::path& path) {
    const std::string& text = path.native();
    if (text.empty()) {
        return std::unexpected(
            CliError::failed(path_to_utf8(path) + ": cannot make an empty path absolute"));
    }
    if (text.find('\0') != std::string::npos) {
        return std::unexpected(CliError::failed(path_to_utf8(path) + ": " + os_error_text(EINVAL)));
    }
    if (text.front() == '/') {
        return std::filesystem::path(fold(text));
    }
    auto directory = current_directory();
    if (!directory) {
        return std::unexpected(
            CliError::failed(path_to_utf8(path) + ": " + directory.error().message));
    }
    return std::filesystem::path(fold(*directory + "/" + text));
}

}  // namespace vantle
