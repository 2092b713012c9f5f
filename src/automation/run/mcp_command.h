#pragma once

#include <cstdint>

#include "automation/run/command.h"
#include "platform/platform.h"
#include "support/writer.h"

namespace vantle {

// The runner's `mcp` branch: serves the automation protocol on `in` and `out`
// until the input ends and returns the status. `err` is not handed to the server.
[[nodiscard]] std::uint32_t run_mcp_command(const Mcp& command, const PlatformPtr& platform,
                                            Reader& in, Writer& out, Writer& err);

}  // namespace vantle
