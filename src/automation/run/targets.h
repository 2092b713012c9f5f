#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/records.h"
#include "support/cli_error.h"

namespace vantle {

// A process name reduced to what comparisons look at: Unicode white space
// trimmed at both ends, ASCII letters lower-cased (nothing else is folded) and
// one trailing ".exe" removed, so "Notepad.EXE" and " notepad " compare equal.
[[nodiscard]] std::string normalize_process_name(std::string_view name);

// Checks a caller's target against the live desktop for a still capture. Only
// lists monitors or windows; never restores, moves or captures. Monitor and
// region targets without `allow_desktop` are refused before the platform is
// asked anything. A minimized window is refused (exit 3) unless `restore`.
// Listing failures come back unchanged; every refusal carries its exit code.
[[nodiscard]] CliResult<ResolvedTarget> resolve_target(Platform& platform,
                                                       const CaptureTarget& target,
                                                       bool allow_desktop, bool restore);

// A target checked for recording, with the still-capture resolution it was made
// from (the recording is described by the latter).
struct ResolvedRecordTarget {
    RecordTarget record;
    ResolvedTarget resolved;

    friend bool operator==(const ResolvedRecordTarget&, const ResolvedRecordTarget&) = default;
};

// `resolve_target` plus the recording rule that a region must lie wholly on one
// monitor (the first in list order that contains it is the one recorded from).
[[nodiscard]] CliResult<ResolvedRecordTarget> resolve_record_target(Platform& platform,
                                                                    const CaptureTarget& target,
                                                                    bool allow_desktop,
                                                                    bool restore);

// How capture and recording results describe what they were taken from.
struct TargetDescription {
    std::string kind;                      // "window", "monitor" or "region"
    std::optional<std::string> title;      // window targets only
    std::optional<std::string> process;    // window targets with a known process
    std::optional<std::uint32_t> pid;      // window targets only
    std::optional<std::uint64_t> monitor;  // see describe_target

    friend bool operator==(const TargetDescription&, const TargetDescription&) = default;
};

// The description of a resolved target. `monitor` is the window's monitor as
// listed, the monitor's own index, or for a region the monitor it overlaps most.
[[nodiscard]] TargetDescription describe_target(const ResolvedTarget& target);

// The "target" object of the result JSON: "kind", "pid", "process" and "title",
// absent values as null.
[[nodiscard]] nlohmann::json target_json(const TargetDescription& description);

}  // namespace vantle
