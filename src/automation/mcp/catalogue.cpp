#include "automation/mcp/catalogue.h"

namespace vantle::mcp {

namespace {

using nlohmann::json;

json described(const char* type, const char* description) {
    return {{"type", type}, {"description", description}};
}

json target_properties(bool allow_desktop) {
    json properties = {
        {"window", described("string", "The window's exact title, as list_windows shows it.")},
        {"process", described("string",
                              "The executable that owns it (notepad.exe), to tell windows with "
                              "the same title apart.")},
        {"restore", described("boolean",
                              "If the window is minimized, show it without taking focus for the "
                              "capture, then minimize it again.")},
        {"cursor", described("boolean", "Include the mouse pointer.")},
    };
    if (allow_desktop) {
        json monitor =
            described("integer", "A whole monitor, by its index in list_windows' monitors.");
        monitor["minimum"] = 0;
        properties["monitor"] = std::move(monitor);
        properties["region"] = {
            {"type", "object"},
            {"description", "A rectangle of the desktop in physical pixels."},
            {"properties",
             {{"x", {{"type", "integer"}}},
              {"y", {{"type", "integer"}}},
              {"width", {{"type", "integer"}, {"minimum", 1}}},
              {"height", {{"type", "integer"}, {"minimum", 1}}}}},
            {"required", {"x", "y", "width", "height"}},
            {"additionalProperties", false},
        };
    }
    return properties;
}

json schema(json properties, const json* required) {
    json result = {
        {"type", "object"}, {"properties", std::move(properties)}, {"additionalProperties", false}};
    if (required != nullptr) {
        result["required"] = *required;
    }
    return result;
}

json tool(const char* name, const char* title, const char* description, json input_schema,
          json annotations) {
    return {{"name", name},
            {"title", title},
            {"description", description},
            {"inputSchema", std::move(input_schema)},
            {"annotations", std::move(annotations)}};
}

json writing_annotations() {
    return {{"readOnlyHint", false}, {"destructiveHint", false}, {"openWorldHint", false}};
}

}  // namespace

json tool_catalogue(const Config& settings) {
    const bool allow_desktop = settings.automation_allow_desktop;
    const json targets = target_properties(allow_desktop);
    const json required = allow_desktop ? json::array() : json::array({"window"});

    json list_properties = {
        {"title_contains",
         described("string", "Only windows whose title contains this, ignoring case.")},
        {"process", described("string", "Only windows of this executable.")},
    };

    json capture_properties = targets;
    capture_properties["out"] = described(
        "string",
        "Where to write the PNG (absolute path ending in .png). Default: Vantle's folder.");
    json delay = described("integer", "Wait this long before capturing.");
    delay["minimum"] = 0;
    capture_properties["delay_ms"] = std::move(delay);

    json record_properties = targets;
    record_properties["out"] = described(
        "string",
        "Where to write the MP4 (absolute path ending in .mp4). Default: Vantle's folder.");
    json fps = described("integer", "Frames per second, default 30.");
    fps["minimum"] = 1;
    fps["maximum"] = 60;
    record_properties["fps"] = std::move(fps);
    json max_seconds = described("number", "Stop by itself after this long.");
    max_seconds["exclusiveMinimum"] = 0;
    record_properties["max_seconds"] = std::move(max_seconds);

    const json stop_required = json::array({"id"});

    return json::array({
        tool("list_windows", "List windows",
             "The top-level windows on this desktop (title, process, pid, position, monitor, "
             "minimized) and the monitors.",
             schema(std::move(list_properties), nullptr),
             {{"readOnlyHint", true}, {"openWorldHint", false}}),
        tool("capture", "Capture a window",
             allow_desktop ? "Screenshot one window (by exact title), a monitor or a region, to a "
                             "PNG. Returns the file's path and a preview image."
                           : "Screenshot one window, by its exact title, to a PNG. Returns the "
                             "file's path and a preview image.",
             schema(std::move(capture_properties), &required), writing_annotations()),
        tool("record_start", "Start recording",
             "Start recording a window (or, when allowed, a monitor or region) to an MP4. Returns "
             "an id for record_stop once the first frame is in.",
             schema(std::move(record_properties), &required), writing_annotations()),
        tool("record_stop", "Stop recording",
             "Stop a recording started with record_start and finish its file.",
             schema({{"id", described("string", "The id record_start returned.")}}, &stop_required),
             writing_annotations()),
    });
}

}  // namespace vantle::mcp
