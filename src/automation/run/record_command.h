#pragma once

#include <cstdint>

#include "automation/run/command.h"
#include "platform/platform.h"
#include "support/writer.h"

namespace vantle {

// The runner's `record` branch: records until stopped, announcing the start and
// printing the result itself, and returns the status.
[[nodiscard]] std::uint32_t run_record_command(const Record& command, const PlatformPtr& platform,
                                               Writer& out, Writer& err);

}  // namespace vantle
