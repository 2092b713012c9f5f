#include <gtest/gtest.h>

#include <string>

#include "automation/mcp/catalogue.h"
#include "support/json_line.h"

namespace vantle::mcp {
namespace {

// The expected texts are written out by hand so that a change of any member,
// order or word shows up as a difference here.
const std::string kWriting =
    R"("annotations":{"destructiveHint":false,"openWorldHint":false,"readOnlyHint":false})";
const std::string kListWindows =
    R"({"annotations":{"openWorldHint":false,"readOnlyHint":true},"description":"The top-level windows on this desktop (title, process, pid, position, monitor, minimized) and the monitors.","inputSchema":{"additionalProperties":false,"properties":{"process":{"description":"Only windows of this executable.","type":"string"},"title_contains":{"description":"Only windows whose title contains this, ignoring case.","type":"string"}},"type":"object"},"name":"list_windows","title":"List windows"})";
const std::string kCursor =
    R"("cursor":{"description":"Include the mouse pointer.","type":"boolean"})";
const std::string kMonitor =
    R"("monitor":{"description":"A whole monitor, by its index in list_windows' monitors.","minimum":0,"type":"integer"},)";
const std::string kRegion =
    R"("region":{"additionalProperties":false,"description":"A rectangle of the desktop in physical pixels.","properties":{"height":{"minimum":1,"type":"integer"},"width":{"minimum":1,"type":"integer"},"x":{"type":"integer"},"y":{"type":"integer"}},"required":["x","y","width","height"],"type":"object"},)";
const std::string kProcess =
    R"("process":{"description":"The executable that owns it (notepad.exe), to tell windows with the same title apart.","type":"string"},)";
const std::string kWindowTail =
    R"("restore":{"description":"If the window is minimized, show it without taking focus for the capture, then minimize it again.","type":"boolean"},)"
    R"("window":{"description":"The window's exact title, as list_windows shows it.","type":"string"}})";
const std::string kRecordStop =
    "{" + kWriting +
    R"(,"description":"Stop a recording started with record_start and finish its file.","inputSchema":{"additionalProperties":false,"properties":{"id":{"description":"The id record_start returned.","type":"string"}},"required":["id"],"type":"object"},"name":"record_stop","title":"Stop recording"})";

std::string expected_catalogue(bool allow) {
    const std::string monitor = allow ? kMonitor : "";
    const std::string region = allow ? kRegion : "";
    const std::string required = allow ? R"("required":[])" : R"("required":["window"])";
    const std::string capture =
        "{" + kWriting + R"(,"description":")" +
        (allow ? "Screenshot one window (by exact title), a monitor or a region, to a PNG. Returns "
                 "the file's path and a preview image."
               : "Screenshot one window, by its exact title, to a PNG. Returns the file's path and "
                 "a preview image.") +
        R"(","inputSchema":{"additionalProperties":false,"properties":{)" + kCursor +
        R"(,"delay_ms":{"description":"Wait this long before capturing.","minimum":0,"type":"integer"},)" +
        monitor +
        R"("out":{"description":"Where to write the PNG (absolute path ending in .png). Default: Vantle's folder.","type":"string"},)" +
        kProcess + region + kWindowTail + "," + required +
        R"(,"type":"object"},"name":"capture","title":"Capture a window"})";
    const std::string record_start =
        "{" + kWriting +
        R"(,"description":"Start recording a window (or, when allowed, a monitor or region) to an MP4. Returns an id for record_stop once the first frame is in.","inputSchema":{"additionalProperties":false,"properties":{)" +
        kCursor +
        R"(,"fps":{"description":"Frames per second, default 30.","maximum":60,"minimum":1,"type":"integer"},"max_seconds":{"description":"Stop by itself after this long.","exclusiveMinimum":0,"type":"number"},)" +
        monitor +
        R"("out":{"description":"Where to write the MP4 (absolute path ending in .mp4). Default: Vantle's folder.","type":"string"},)" +
        kProcess + region + kWindowTail + "," + required +
        R"(,"type":"object"},"name":"record_start","title":"Start recording"})";
    return "[" + kListWindows + "," + capture + "," + record_start + "," + kRecordStop + "]";
}

TEST(Catalogue, IsByteExactWithDesktopCaptureOff) {
    EXPECT_EQ(json_text(tool_catalogue(default_config())), expected_catalogue(false));
}

TEST(Catalogue, IsByteExactWithDesktopCaptureOn) {
    Config config = default_config();
    config.automation_allow_desktop = true;
    EXPECT_EQ(json_text(tool_catalogue(config)), expected_catalogue(true));
}

}  // namespace
}  // namespace vantle::mcp
