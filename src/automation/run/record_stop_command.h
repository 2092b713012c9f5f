#pragma once

#include <cstdint>

#include "automation/run/command.h"
#include "platform/platform.h"
#include "support/writer.h"

namespace vantle {

// The runner's `record --stop` branch: asks the recording to stop, waits for its
// file and returns the status.
[[nodiscard]] std::uint32_t run_record_stop_command(const RecordStop& command, Writer& out,
                                                    Writer& err);

}  // namespace vantle
