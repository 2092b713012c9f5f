#include <ctime>

#include "automation/mcp/output_path.h"

namespace vantle::mcp {

std::tm local_time_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    return local;
}

}  // namespace vantle::mcp
