#pragma once

#include <filesystem>
#include <string_view>

namespace vantle::testing {

// Creates a new, empty directory under the system's temporary folder whose
// name starts with `stem`, on every system (mkdtemp is POSIX only). The
// caller removes it.
[[nodiscard]] std::filesystem::path make_temp_directory(std::string_view stem);

}  // namespace vantle::testing
