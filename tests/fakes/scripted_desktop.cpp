#include "fakes/scripted_desktop.h"

#include "fakes/fake_recording.h"

#include <fstream>
#include <limits>
#include <sstream>

namespace vantle::testing {

namespace {

using Json = nlohmann::json;

// Reading stops at the first fault, which is reported as an Error naming where
// in the script it is.
struct ScriptError {
    std::string message;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw ScriptError{where + ": " + what};
}

const Json& member(const Json& object, const char* name, const std::string& where) {
    const auto found = object.find(name);
    if (found == object.end()) {
        fail(where, std::string("needs \"") + name + "\"");
    }
    return *found;
}

void check_members(const Json& object, std::initializer_list<std::string_view> known,
                   const std::string& where) {
    if (!object.is_object()) {
        fail(where, "must be an object");
    }
    for (const auto& [name, value] : object.items()) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            fail(where, "unknown member \"" + name + "\"");
        }
    }
}

template <typename T>
T integer(const Json& value, const std::string& where) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
            return static_cast<T>(number);
        }
    } else if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
            (number < 0 || static_cast<std::uint64_t>(number) <=
                               static_cast<std::uint64_t>(std::numeric_limits<T>::max()))) {
            return static_cast<T>(number);
        }
    }
    fail(where, "must be an integer in range, not " + value.dump());
}

template <typename T>
std::optional<T> optional_integer(const Json& object, const char* name, const std::string& where) {
    const auto found = object.find(name);
    if (found == object.end() || found->is_null()) {
        return std::nullopt;
    }
    return integer<T>(*found, where + "." + name);
}

std::string text(const Json& value, const std::string& where) {
    if (!value.is_string()) {
        fail(where, "must be a string");
    }
    return value.get<std::string>();
}

bool flag(const Json& object, const char* name, const std::string& where) {
    const auto found = object.find(name);
    if (found == object.end()) {
        return false;
    }
    if (!found->is_boolean()) {
        fail(where + "." + name, "must be true or false");
    }
    return found->get<bool>();
}

const Json& array(const Json& value, const std::string& where) {
    if (!value.is_array()) {
        fail(where, "must be an array");
    }
    return value;
}

MonitorInfo read_monitor(const Json& object, std::size_t position, const std::string& where) {
    check_members(object, {"index", "name", "x", "y", "width", "height", "primary"}, where);
    MonitorInfo monitor;
    monitor.index = optional_integer<std::uint64_t>(object, "index", where).value_or(position);
    if (object.contains("name")) {
        monitor.name = text(object["name"], where + ".name");
    }
    monitor.x = integer<std::int32_t>(member(object, "x", where), where + ".x");
    monitor.y = integer<std::int32_t>(member(object, "y", where), where + ".y");
    monitor.width = integer<std::uint32_t>(member(object, "width", where), where + ".width");
    monitor.height = integer<std::uint32_t>(member(object, "height", where), where + ".height");
    monitor.primary = flag(object, "primary", where);
    return monitor;
}

WindowInfo read_window(const Json& object, std::size_t position, const std::string& where) {
    check_members(
        object,
        {"handle", "title", "process", "pid", "x", "y", "width", "height", "monitor", "minimized"},
        where);
    WindowInfo window;
    window.handle = optional_integer<std::uint64_t>(object, "handle", where).value_or(position + 1);
    window.title = text(member(object, "title", where), where + ".title");
    if (const auto found = object.find("process"); found != object.end() && !found->is_null()) {
        window.process = text(*found, where + ".process");
    }
    window.pid = optional_integer<std::uint32_t>(object, "pid", where);
    window.x = optional_integer<std::int32_t>(object, "x", where);
    window.y = optional_integer<std::int32_t>(object, "y", where);
    window.width = optional_integer<std::uint32_t>(object, "width", where);
    window.height = optional_integer<std::uint32_t>(object, "height", where);
    window.monitor = optional_integer<std::uint64_t>(object, "monitor", where);
    window.minimized = flag(object, "minimized", where);
    return window;
}

CliError read_failure(const Json& value, const std::string& where) {
    if (value.is_string()) {
        return CliError::failed(value.get<std::string>());
    }
    check_members(value, {"message", "exit_code"}, where);
    CliError error = CliError::failed(text(member(value, "message", where), where + ".message"));
    if (const auto code = optional_integer<std::uint32_t>(value, "exit_code", where)) {
        error.exit_code = static_cast<ExitCode>(*code);
    }
    return error;
}

void read_failures(FakePlatform& platform, const Json& object, const std::string& where) {
    const std::pair<const char*, std::optional<CliError> FakePlatform::*> slots[] = {
        {"enumerate_monitors", &FakePlatform::monitors_error},
        {"enumerate_windows", &FakePlatform::windows_error},
        {"capture", &FakePlatform::capture_error},
        {"restore_window", &FakePlatform::restore_error},
        {"start_recording_source", &FakePlatform::source_error},
        {"open_encoder", &FakePlatform::encoder_error},
    };
    if (!object.is_object()) {
        fail(where, "must be an object");
    }
    for (const auto& [name, value] : object.items()) {
        const auto* slot = std::find_if(std::begin(slots), std::end(slots),
                                        [&](const auto& s) { return name == s.first; });
        if (slot == std::end(slots)) {
            fail(where, "unknown operation \"" + name + "\"");
        }
        platform.*(slot->second) = read_failure(value, where + "." + name);
    }
}

// The picture a recording of `target` shows: the size of what is recorded.
std::pair<std::uint32_t, std::uint32_t> picture_size(const RecordTarget& target) {
    if (const auto* w = std::get_if<RecordWindow>(&target)) {
        return {w->window.width.value_or(64), w->window.height.value_or(48)};
    }
    if (const auto* m = std::get_if<RecordMonitor>(&target)) {
        return {m->monitor.width, m->monitor.height};
    }
    const auto& r = std::get<RecordRegion>(target).region;
    return {r.width, r.height};
}

void read_recording(FakePlatform& platform, const Json& object, const std::string& where) {
    check_members(object, {"first_frame", "ends_after_frames"}, where);
    const bool first_frame = !object.contains("first_frame") || flag(object, "first_frame", where);
    const auto ends_after = optional_integer<std::uint64_t>(object, "ends_after_frames", where);
    if (ends_after && *ends_after == 0) {
        fail(where + ".ends_after_frames", "must be at least 1");
    }
    // Nobody reads the log in a scripted run; the fakes only need somewhere to write.
    auto log = std::make_shared<RecordingLog>();
    platform.make_source = [first_frame, ends_after, log](const RecordTarget& target, bool) {
        const auto [width, height] = picture_size(target);
        ScriptedFrameSource::Script script;
        if (first_frame) {
            script.first = solid_frame(width, height, 0xFF336699);
        }
        // The frame loop asks for a picture before each frame it writes.
        if (ends_after) {
            script.end_at_call = *ends_after - 1;
        }
        return CliResult<std::unique_ptr<FrameSource>>(
            std::make_unique<ScriptedFrameSource>(std::move(script), log));
    };
    platform.make_encoder = [log](const std::filesystem::path& path, std::uint32_t, std::uint32_t,
                                  std::uint32_t) {
        RecordingEncoder::Script script;
        script.keep_pixels = false;
        script.file = path;
        return CliResult<std::unique_ptr<VideoEncoder>>(
            std::make_unique<RecordingEncoder>(std::move(script), log));
    };
}

void apply(FakePlatform& platform, const Json& script) {
    check_members(script, {"monitors", "windows", "closed_windows", "failures", "recording"},
                  "desktop");
    if (const auto found = script.find("recording"); found != script.end()) {
        read_recording(platform, *found, "desktop.recording");
    }
    if (const auto found = script.find("monitors"); found != script.end()) {
        platform.monitors.clear();
        std::size_t position = 0;
        for (const Json& item : array(*found, "desktop.monitors")) {
            platform.monitors.push_back(
                read_monitor(item, position, "desktop.monitors[" + std::to_string(position) + "]"));
            ++position;
        }
    }
    if (const auto found = script.find("windows"); found != script.end()) {
        platform.windows.clear();
        std::size_t position = 0;
        for (const Json& item : array(*found, "desktop.windows")) {
            platform.windows.push_back(
                read_window(item, position, "desktop.windows[" + std::to_string(position) + "]"));
            ++position;
        }
    }
    if (const auto found = script.find("closed_windows"); found != script.end()) {
        platform.closed_windows.clear();
        for (const Json& item : array(*found, "desktop.closed_windows")) {
            platform.closed_windows.push_back(
                integer<std::uint64_t>(item, "desktop.closed_windows"));
        }
    }
    if (const auto found = script.find("failures"); found != script.end()) {
        read_failures(platform, *found, "desktop.failures");
    }
}

}  // namespace

Status apply_scripted_desktop(FakePlatform& platform, const nlohmann::json& script) {
    try {
        apply(platform, script);
    } catch (const ScriptError& error) {
        return std::unexpected(Error(error.message));
    } catch (const nlohmann::json::exception& error) {
        return std::unexpected(Error(error.what()));
    }
    return {};
}

Result<std::shared_ptr<FakePlatform>> load_scripted_desktop(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        return std::unexpected(Error("cannot open the scripted desktop " + file.string()));
    }
    std::ostringstream content;
    content << stream.rdbuf();
    const Json script = Json::parse(content.str(), nullptr, false);
    if (script.is_discarded()) {
        return std::unexpected(Error("the scripted desktop " + file.string() + " is not JSON"));
    }
    auto platform = std::make_shared<FakePlatform>();
    if (auto applied = apply_scripted_desktop(*platform, script); !applied) {
        return std::unexpected(std::move(applied.error()).context(file.string()));
    }
    return platform;
}

}  // namespace vantle::testing
