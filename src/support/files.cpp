#include "support/files.h"

namespace vantle {

std::filesystem::path temporary_path(const std::filesystem::path& path) {
    std::filesystem::path temporary = path;
    temporary += ".vantle-tmp";
    return temporary;
}

}  // namespace vantle
