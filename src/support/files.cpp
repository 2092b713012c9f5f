#include "support/files.h"

#include "support/paths.h"

namespace vantle {

std::filesystem::path temporary_path(const std::filesystem::path& path) {
    std::filesystem::path temporary = path;
    temporary += ".vantle-tmp";
    return temporary;
}

CliError destination_busy(const std::filesystem::path& path) {
    return CliError::failed("another recording is writing " + path_to_utf8(path));
}

}  // namespace vantle
