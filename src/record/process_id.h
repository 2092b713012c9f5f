#pragma once

#include <cstdint>

namespace vantle {

// This process's id as the system numbers it (GetCurrentProcessId, getpid).
[[nodiscard]] std::uint32_t current_process_id();

}  // namespace vantle
