#include "fakes/temp_directory.h"

#include <atomic>
#include <chrono>
#include <string>

#include "record/process_id.h"

namespace vantle::testing {

std::filesystem::path make_temp_directory(std::string_view stem) {
    static std::atomic<unsigned> counter{0};
    const auto clock = std::chrono::steady_clock::now().time_since_epoch().count();
    for (;;) {
        const std::filesystem::path path =
            std::filesystem::temp_directory_path() /
            (std::string(stem) + "-" + std::to_string(current_process_id()) + "-" +
             std::to_string(clock) + "-" + std::to_string(++counter));
        // create_directory is false when the name is taken: try the next one.
        if (std::filesystem::create_directory(path)) {
            return path;
        }
    }
}

}  // namespace vantle::testing
