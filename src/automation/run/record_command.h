#pragma once

#include <cstdint>

#include "automation/run/command.h"
#include "platform/platform.h"
#include "support/writer.h"

namespace vantle {

// The runner's `record` branch. Draws the recording's id, opens its stop
// rendezvous, takes interrupts, announces the start (the started event on `out`
// with --json, and always a line on `err`), records, prints the result (the
// record result object with --json, else the absolute path) or the failure,
// and only then signals done, so a `record --stop` in another process returns
// after the result is out. Returns the status.
[[nodiscard]] std::uint32_t run_record_command(const Record& command, const PlatformPtr& platform,
                                               Writer& out, Writer& err);

}  // namespace vantle
