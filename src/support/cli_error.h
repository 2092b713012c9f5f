#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "support/error.h"

namespace vantle {

// The process exit status. 4: what was asked cannot be done on this desktop (the
// whole desktop of a Wayland session seen through X11).
enum class ExitCode : std::uint32_t {
    kOk = 0,
    kFailed = 1,
    kRefused = 2,
    kMinimized = 3,
    kUnsupported = 4,
    kUsage = 64,
};

[[nodiscard]] constexpr std::uint32_t to_status(ExitCode code) {
    return static_cast<std::uint32_t>(code);
}

// The only error type that reaches the command runner: a one-line message without
// the "vantle: " prefix and the exit status it ends the command with.
struct CliError {
    std::string message;
    ExitCode exit_code = ExitCode::kFailed;

    [[nodiscard]] static CliError failed(std::string message) {
        return {std::move(message), ExitCode::kFailed};
    }
    [[nodiscard]] static CliError refused(std::string message) {
        return {std::move(message), ExitCode::kRefused};
    }
    [[nodiscard]] static CliError usage(std::string message) {
        return {std::move(message), ExitCode::kUsage};
    }
    // An internal error reaches the runner as a failure carrying its whole chain.
    [[nodiscard]] static CliError from(const Error& error) {
        return {error.render(), ExitCode::kFailed};
    }

    friend bool operator==(const CliError&, const CliError&) = default;
};

template <typename T>
using CliResult = std::expected<T, CliError>;

using CliStatus = std::expected<void, CliError>;

}  // namespace vantle
