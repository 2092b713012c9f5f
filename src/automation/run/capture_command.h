#pragma once

#include <cstdint>

#include "automation/run/command.h"
#include "platform/platform.h"
#include "support/writer.h"

namespace vantle {

// The runner's `capture` branch: takes the picture, writes the path or the
// capture result object to `out`, reports a failure on `err`, returns the status.
[[nodiscard]] std::uint32_t run_capture_command(const Capture& command, const PlatformPtr& platform,
                                                Writer& out, Writer& err);

}  // namespace vantle
