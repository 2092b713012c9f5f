#pragma once

#include <filesystem>
#include <optional>

namespace vantle {

// The user folders the program looks up.
enum class KnownFolder {
    kRoamingAppData,  // where the desktop application keeps config.json
    kPictures,        // where default output files go, inside "Vantle"
    kProfile,         // the fallback when the Pictures folder is unknown
};

// The folder's path, or none when the system cannot tell. Never touches the
// folder itself.
[[nodiscard]] std::optional<std::filesystem::path> known_folder(KnownFolder folder);

}  // namespace vantle
