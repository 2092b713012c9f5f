#include <windows.h>

#include "record/process_id.h"

namespace vantle {

std::uint32_t current_process_id() {
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

}  // namespace vantle
