#include "automation/run/front_door.h"

#include <string>

#include "automation/run/grammar.h"
#include "automation/run/process_setup.h"
#include "automation/run/runner.h"
#include "automation/run/usage.h"
#include "support/logger.h"
#include "support/writer.h"

namespace vantle {

std::uint32_t run_front_door(std::vector<OsString> arguments, bool console_build,
                             const PlatformFactory& platform_factory) {
    const bool attached = !console_build && attach_parent_console();
    prepare_process();
    (void)install_logger();
    if (attached) {
        (void)standard_error().write(kWindowedBuildWarning);
    }

    std::vector<std::string> texts;
    texts.reserve(arguments.size());
    for (const OsString& argument : arguments) {
        texts.push_back(utf8_from_os(argument));
    }
    arguments.clear();

    auto command = parse_command_line(texts);
    if (!command) {
        std::string text = "vantle: ";
        text += command.error().message;
        text += "\n\n";
        text += usage_text();
        text += '\n';
        (void)standard_error().write(text);
        return to_status(command.error().exit_code);
    }

    // Standard error writes each record whole under its own lock, and standard
    // output is one buffer under one lock, so the streams need no lock held
    // across the command: other threads' log lines never split a line of ours
    // and are never held up until the command ends.
    const std::uint32_t status =
        run_command(std::move(*command), platform_factory(), standard_output(), standard_error());
    (void)standard_output().flush();
    return status;
}

std::uint32_t run_console_entry(std::vector<OsString> arguments,
                                const PlatformFactory& platform_factory) {
    if (arguments.empty()) {
        std::string text(usage_text());
        text += '\n';
        (void)standard_error().write(text);
        return to_status(ExitCode::kUsage);
    }
    return run_front_door(std::move(arguments), true, platform_factory);
}

}  // namespace vantle
