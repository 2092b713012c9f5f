#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/make_platform.h"
#include "platform/platform.h"
#include "support/process_arguments.h"

namespace vantle {

// Makes the one Platform object of the process. The program passes
// make_platform; a test binary passes a scripted desktop.
using PlatformFactory = std::function<PlatformPtr()>;

// The process after its entry: prepares the process, installs the logger,
// parses `arguments` (after the program name) and runs the command on the
// process's standard streams. Returns the exit status. `console_build` is false
// only for the windowed desktop executable, which then attaches to its parent's
// console and warns that the terminal did not wait for it. A grammar error is
// printed with the usage text and ends with 64 before any Platform is made.
[[nodiscard]] std::uint32_t run_front_door(std::vector<OsString> arguments, bool console_build,
                                           const PlatformFactory& platform_factory = make_platform);

// The console executable's process entry after it has collected `arguments`:
// with none, the usage text on standard error and 64, and nothing of the front
// door runs; otherwise the front door of the console build.
[[nodiscard]] std::uint32_t run_console_entry(
    std::vector<OsString> arguments, const PlatformFactory& platform_factory = make_platform);

// The warning the windowed build prints once it has attached to a terminal.
inline constexpr std::string_view kWindowedBuildWarning =
    "vantle: vantle.exe is a windowed program, so this terminal did not wait for it; use "
    "vantle-cli.exe in a terminal\n";

}  // namespace vantle
