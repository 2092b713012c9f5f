// Argument lists into parse_command_line: the input is split at NUL bytes into
// the texts after the program name. Every error must be a one-line usage error;
// every command must keep the promises of its type, and must read back as
// itself when written out again as options (in either order, with the values
// inline or as the next text).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "automation/run/grammar.h"

namespace {

using namespace vantle;

[[noreturn]] void fail(const char* what, const std::vector<std::string>& texts) {
    std::fprintf(stderr, "command-line fuzzer: %s\narguments:", what);
    for (const std::string& text : texts) {
        std::fprintf(stderr, " [%s]", text.c_str());
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

bool is_recording_id(std::string_view text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 == text.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i != dash && (text[i] < '0' || text[i] > '9')) {
            return false;
        }
    }
    return true;
}

struct Option {
    std::string name;
    std::optional<std::string> value;
};

void add_target(std::vector<Option>& options, const CaptureTarget& target) {
    if (const auto* window = std::get_if<WindowTarget>(&target)) {
        options.push_back({"--window", window->title});
        if (window->process) {
            options.push_back({"--process", *window->process});
        }
    } else if (const auto* monitor = std::get_if<MonitorTarget>(&target)) {
        options.push_back({"--monitor", std::to_string(monitor->index)});
    } else {
        const Region& r = std::get<RegionTarget>(target).region;
        options.push_back({"--region", std::to_string(r.x) + "," + std::to_string(r.y) + "," +
                                           std::to_string(r.width) + "," +
                                           std::to_string(r.height)});
    }
}

void add_flag(std::vector<Option>& options, bool on, const char* name) {
    if (on) {
        options.push_back({name, std::nullopt});
    }
}

// The command word and options that say `command` again; none for Help and Version.
std::optional<std::pair<std::string, std::vector<Option>>> options_of(const Command& command) {
    std::vector<Option> options;
    if (const auto* windows = std::get_if<Windows>(&command)) {
        add_flag(options, windows->json, "--json");
        return std::pair{std::string("windows"), options};
    }
    if (std::holds_alternative<Mcp>(command)) {
        return std::pair{std::string("mcp"), options};
    }
    if (const auto* stop = std::get_if<RecordStop>(&command)) {
        options.push_back({"--stop", stop->id});
        add_flag(options, stop->json, "--json");
        return std::pair{std::string("record"), options};
    }
    if (const auto* capture = std::get_if<Capture>(&command)) {
        add_target(options, capture->target);
        options.push_back({"--out", capture->out});
        if (capture->delay_ms != 0) {
            options.push_back({"--delay-ms", std::to_string(capture->delay_ms)});
        }
        add_flag(options, capture->cursor, "--cursor");
        add_flag(options, capture->restore, "--restore");
        add_flag(options, capture->allow_desktop, "--allow-desktop");
        add_flag(options, capture->json, "--json");
        return std::pair{std::string("capture"), options};
    }
    if (const auto* record = std::get_if<Record>(&command)) {
        add_target(options, record->target);
        options.push_back({"--out", record->out});
        options.push_back({"--fps", std::to_string(record->fps)});
        if (record->max_seconds) {
            char text[64];
            std::snprintf(text, sizeof text, "%.17g", *record->max_seconds);
            options.push_back({"--max-seconds", text});
        }
        add_flag(options, record->cursor, "--cursor");
        add_flag(options, record->restore, "--restore");
        add_flag(options, record->allow_desktop, "--allow-desktop");
        add_flag(options, record->json, "--json");
        return std::pair{std::string("record"), options};
    }
    return std::nullopt;
}

void check_promises(const Command& command, const std::vector<std::string>& texts) {
    auto check_target = [&](const CaptureTarget& target, bool restore) {
        if (const auto* window = std::get_if<WindowTarget>(&target)) {
            if (window->title.empty()) {
                fail("a window target without a title", texts);
            }
        } else {
            if (restore) {
                fail("--restore without a window", texts);
            }
            if (const auto* region = std::get_if<RegionTarget>(&target);
                region != nullptr && (region->region.width == 0 || region->region.height == 0)) {
                fail("an empty region", texts);
            }
        }
    };
    if (const auto* capture = std::get_if<Capture>(&command)) {
        check_target(capture->target, capture->restore);
        if (!capture->out.ends_with(".png")) {
            fail("a capture to a file that does not end in .png", texts);
        }
    } else if (const auto* record = std::get_if<Record>(&command)) {
        check_target(record->target, record->restore);
        if (!record->out.ends_with(".mp4")) {
            fail("a recording to a file that does not end in .mp4", texts);
        }
        if (record->fps < 1 || record->fps > 60) {
            fail("a rate outside 1 to 60", texts);
        }
        if (record->max_seconds &&
            (!std::isfinite(*record->max_seconds) || *record->max_seconds <= 0)) {
            fail("a time limit that is not a positive number", texts);
        }
    } else if (const auto* stop = std::get_if<RecordStop>(&command)) {
        if (!is_recording_id(stop->id)) {
            fail("record --stop with a malformed id", texts);
        }
    }
}

void check_reads_back(const Command& command) {
    const auto written = options_of(command);
    if (!written) {
        return;
    }
    const auto& [word, options] = *written;
    for (const bool inline_values : {true, false}) {
        for (const bool reversed : {false, true}) {
            std::vector<std::string> again{word};
            for (std::size_t k = 0; k < options.size(); ++k) {
                const Option& option = options[reversed ? options.size() - 1 - k : k];
                if (!option.value) {
                    again.push_back(option.name);
                } else if (inline_values) {
                    again.push_back(option.name + "=" + *option.value);
                } else {
                    again.push_back(option.name);
                    again.push_back(*option.value);
                }
            }
            const auto reparsed = parse_command_line(again);
            if (!reparsed) {
                std::fprintf(stderr, "error: %s\n", reparsed.error().message.c_str());
                fail("a command does not read back as itself", again);
            }
            if (!(*reparsed == command)) {
                fail("a command reads back as another", again);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> texts;
    if (size > 0) {
        const std::string_view input(reinterpret_cast<const char*>(data), size);
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = input.find('\0', start);
            texts.emplace_back(input.substr(start, end - start));
            if (end == std::string_view::npos) {
                break;
            }
            start = end + 1;
        }
    }
    const auto parsed = parse_command_line(texts);
    if (!parsed) {
        const CliError& error = parsed.error();
        if (error.exit_code != ExitCode::kUsage) {
            fail("a grammar error that is not a usage error", texts);
        }
        if (error.message.empty() || error.message.starts_with("vantle:")) {
            fail("a grammar error that is not a bare message", texts);
        }
        for (const char c : error.message) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                fail("a grammar error that is not one printable line", texts);
            }
        }
        return 0;
    }
    check_promises(*parsed, texts);
    check_reads_back(*parsed);
    return 0;
}
