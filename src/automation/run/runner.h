#pragma once

#include <cstdint>

#include "automation/run/command.h"
#include "platform/platform.h"
#include "support/cli_error.h"
#include "support/writer.h"

namespace vantle {

// Runs one command against the desktop and turns its outcome into output and
// an exit status: results on `out`, "vantle: <message>" on `err` for a
// failure, whose exit code becomes the status. The only place where failures
// become statuses. Failed writes never change the status. The runner holds
// `platform` only while the command runs. The automation server reads `in`.
[[nodiscard]] std::uint32_t run_command(Command command, PlatformPtr platform, Reader& in,
                                        Writer& out, Writer& err);

// The same with the process's standard input as `in`.
[[nodiscard]] std::uint32_t run_command(Command command, PlatformPtr platform, Writer& out,
                                        Writer& err);

// Writes "vantle: <message>\n" to `err` and returns the error's exit status;
// every branch reports its failure through this.
std::uint32_t print_failure(Writer& err, const CliError& error);

}  // namespace vantle
