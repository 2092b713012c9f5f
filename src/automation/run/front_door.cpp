#include "automation/run/front_door.h"

#include <string>
#include <type_traits>
#include <variant>

#include "automation/run/grammar.h"
#include "automation/run/process_setup.h"
#include "automation/run/runner.h"
#include "automation/run/usage.h"
#include "support/logger.h"
#include "support/writer.h"

namespace vantle {

namespace {

// A path names the file by the system's bytes: on POSIX a --out value that is
// not UTF-8 is used as typed and only shown lossily. (Windows arguments are
// UTF-16 and go through the text as they are.)
template <typename Os>
void keep_out_bytes(Command& command, const std::vector<Os>& arguments,
                    const std::vector<std::string>& texts) {
    (void)command;
    (void)arguments;
    (void)texts;
    if constexpr (std::is_same_v<Os, std::string>) {
        std::string* out = nullptr;
        if (auto* capture = std::get_if<Capture>(&command)) {
            out = &capture->out;
        } else if (auto* record = std::get_if<Record>(&command)) {
            out = &record->out;
        }
        if (const auto where = locate_out_value(texts); out != nullptr && where) {
            *out = arguments[where->first].substr(where->second);
        }
    }
}

}  // namespace

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

    auto command = parse_command_line(texts);
    if (command) {
        keep_out_bytes(*command, arguments, texts);
    }
    arguments.clear();
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
