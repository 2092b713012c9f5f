#include "automation/run/runner.h"

#include <string>

#include "automation/run/capture_command.h"
#include "automation/run/mcp_command.h"
#include "automation/run/record_command.h"
#include "automation/run/record_stop_command.h"
#include "automation/run/usage.h"
#include "automation/run/windows_listing.h"
#include "support/json_line.h"

namespace vantle {

namespace {

std::uint32_t run_windows(const Windows& command, Platform& platform, Writer& out, Writer& err) {
    // Monitors first: a desktop whose monitors cannot be listed is not listed at all.
    auto monitors = platform.enumerate_monitors();
    if (!monitors) {
        return print_failure(err, monitors.error());
    }
    auto windows = platform.enumerate_windows();
    if (!windows) {
        return print_failure(err, windows.error());
    }
    const nlohmann::json listing = windows_listing_json(*monitors, *windows);
    (void)out.write(command.json ? json_line(listing) : windows_listing_text(listing));
    return to_status(ExitCode::kOk);
}

}  // namespace

std::uint32_t print_failure(Writer& err, const CliError& error) {
    std::string line = "vantle: ";
    line += error.message;
    line += '\n';
    (void)err.write(line);
    return to_status(error.exit_code);
}

std::uint32_t run_command(Command command, PlatformPtr platform, Reader& in, Writer& out,
                          Writer& err) {
    return std::visit(
        [&](const auto& variant) -> std::uint32_t {
            using T = std::decay_t<decltype(variant)>;
            if constexpr (std::is_same_v<T, Help>) {
                std::string text(usage_text());
                text += '\n';
                (void)out.write(text);
                return to_status(ExitCode::kOk);
            } else if constexpr (std::is_same_v<T, Version>) {
                std::string text(kVersionText);
                text += '\n';
                (void)out.write(text);
                return to_status(ExitCode::kOk);
            } else if constexpr (std::is_same_v<T, Windows>) {
                return run_windows(variant, *platform, out, err);
            } else if constexpr (std::is_same_v<T, Capture>) {
                return run_capture_command(variant, platform, out, err);
            } else if constexpr (std::is_same_v<T, Record>) {
                return run_record_command(variant, platform, out, err);
            } else if constexpr (std::is_same_v<T, RecordStop>) {
                return run_record_stop_command(variant, out, err);
            } else {
                static_assert(std::is_same_v<T, Mcp>);
                return run_mcp_command(variant, platform, in, out, err);
            }
        },
        command);
}

std::uint32_t run_command(Command command, PlatformPtr platform, Writer& out, Writer& err) {
    return run_command(std::move(command), std::move(platform), standard_input(), out, err);
}

}  // namespace vantle
