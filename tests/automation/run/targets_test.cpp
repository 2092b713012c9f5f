#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "automation/run/targets.h"
#include "fakes/fake_platform.h"
#include "support/json_line.h"

namespace vantle {
namespace {

using testing::FakePlatform;
using testing::make_minimized_window;
using testing::make_monitor;
using testing::make_window;

// Two monitors side by side with different heights, so the bounding box has a
// gap below the second one, and windows that share titles.
std::shared_ptr<FakePlatform> make_desktop() {
    auto platform = std::make_shared<FakePlatform>();
    platform->monitors = {make_monitor(0, 0, 0, 1920, 1080, true, "one"),
                          make_monitor(1, 1920, 0, 1280, 1024, false, "two")};
    WindowInfo no_pid = make_window(20, "Twin", std::nullopt, 0, {10, 10, 50, 50}, 0);
    no_pid.pid.reset();
    platform->windows = {
        make_window(1, "Untitled - Notepad", "notepad.exe", 4242, {100, 50, 800, 600}, 0),
        make_window(2, "Untitled - Notepad", "NOTEPAD.EXE", 5120, {200, 50, 800, 600}, 0),
        make_window(3, "Untitled - Notepad", "code.exe", 600, {300, 50, 800, 600}, 0),
        make_window(4, "Untitled - Notepad ", "notepad.exe", 7, {0, 0, 10, 10}, 0),
        make_window(5, "untitled - notepad", "notepad.exe", 8, {0, 0, 10, 10}, 0),
        make_minimized_window(6, "Calculator", "calc.exe", 77),
        make_window(7, "Orphan", std::nullopt, 9, {0, 0, 10, 10}, 0),
        no_pid,
        make_window(21, "Twin", "a.exe", 3, {0, 0, 10, 10}, 1),
        make_window(30, "Blank", "", 31, {0, 0, 10, 10}, 0),
        make_window(31, "Blank", "x.exe", 32, {0, 0, 10, 10}, 0),
        make_window(40, "Caf\xC3\xA9", "caf\xC3\x89.exe", 41, {0, 0, 10, 10}, 0),
    };
    return platform;
}

using Expected = std::variant<ResolvedTarget, CliError>;

struct Case {
    const char* name;
    CaptureTarget target;
    bool allow_desktop;
    bool restore;
    Expected expected;
};

CliError refused(std::string message) {
    return CliError::refused(std::move(message));
}

void check(const Case& c, const CliResult<ResolvedTarget>& actual) {
    if (const auto* error = std::get_if<CliError>(&c.expected)) {
        ASSERT_FALSE(actual.has_value()) << c.name;
        EXPECT_EQ(actual.error().message, error->message) << c.name;
        EXPECT_EQ(actual.error().exit_code, error->exit_code) << c.name;
    } else {
        ASSERT_TRUE(actual.has_value()) << c.name << ": " << actual.error().message;
        EXPECT_TRUE(*actual == std::get<ResolvedTarget>(c.expected)) << c.name;
    }
}

TEST(ResolveTarget, WindowsByExactTitleAndNormalizedProcess) {
    auto platform = make_desktop();
    const auto& w = platform->windows;
    const Case cases[] = {
        {"unique title", WindowTarget{"Orphan", {}}, false, false, ResolvedWindow{w[6]}},
        {"equal titles are ambiguous", WindowTarget{"Untitled - Notepad", {}}, false, false,
         refused("3 windows are titled \"Untitled - Notepad\" (notepad.exe pid 4242, "
                 "NOTEPAD.EXE pid 5120, code.exe pid 600); add --process or make the title "
                 "unique")},
        {"process in another case still matches both",
         WindowTarget{"Untitled - Notepad", "NOTEPAD"}, false, false,
         refused("2 windows are titled \"Untitled - Notepad\" in NOTEPAD (notepad.exe pid 4242, "
                 "NOTEPAD.EXE pid 5120); add --process or make the title unique")},
        {"the process tells them apart", WindowTarget{"Untitled - Notepad", "Code.EXE"}, false,
         false, ResolvedWindow{w[2]}},
        {"unicode white space around the process is trimmed",
         WindowTarget{"Untitled - Notepad", "\xE3\x80\x80\tcode\xC2\xA0"}, false, false,
         ResolvedWindow{w[2]}},
        {"only one .exe is removed", WindowTarget{"Untitled - Notepad", "code.exe.exe"}, false,
         false,
         refused("no window is titled \"Untitled - Notepad\" in code.exe.exe; `vantle windows` "
                 "lists them")},
        {"non-ASCII letters are not folded", WindowTarget{"Caf\xC3\xA9", "caf\xC3\xA9"}, false,
         false,
         refused("no window is titled \"Caf\xC3\xA9\" in caf\xC3\xA9; `vantle windows` lists "
                 "them")},
        {"non-ASCII process compares byte for byte", WindowTarget{"Caf\xC3\xA9", "CAF\xC3\x89"},
         false, false, ResolvedWindow{w[11]}},
        {"trailing space in the title matters", WindowTarget{"Untitled - Notepad ", {}}, false,
         false, ResolvedWindow{w[3]}},
        {"case in the title matters", WindowTarget{"UNTITLED - NOTEPAD", {}}, false, false,
         refused("no window is titled \"UNTITLED - NOTEPAD\"; `vantle windows` lists them")},
        {"a window without a process never matches a named process",
         WindowTarget{"Orphan", "orphan"}, false, false,
         refused("no window is titled \"Orphan\" in orphan; `vantle windows` lists them")},
        {"missing process and pid are listed as ?", WindowTarget{"Twin", {}}, false, false,
         refused("2 windows are titled \"Twin\" (? pid ?, a.exe pid 3); add --process or make "
                 "the title unique")},
        {"an empty process matches only an empty normalized name", WindowTarget{"Blank", ""}, false,
         false, ResolvedWindow{w[9]}},
        {"minimized without restore", WindowTarget{"Calculator", {}}, false, false,
         CliError{"\"Calculator\" is minimized; --restore shows it without taking focus, captures "
                  "it and minimizes it again",
                  ExitCode::kMinimized}},
        {"minimized message names the process as written", WindowTarget{"Calculator", " Calc "},
         false, false,
         CliError{"\"Calculator\" in  Calc  is minimized; --restore shows it without taking "
                  "focus, captures it and minimizes it again",
                  ExitCode::kMinimized}},
        {"minimized with restore", WindowTarget{"Calculator", {}}, false, true,
         ResolvedWindow{w[5]}},
        {"restore on a normal window changes nothing", WindowTarget{"Orphan", {}}, true, true,
         ResolvedWindow{w[6]}},
    };
    for (const Case& c : cases) {
        check(c, resolve_target(*platform, c.target, c.allow_desktop, c.restore));
    }
}

TEST(ResolveTarget, MonitorsAndRegions) {
    auto platform = make_desktop();
    const auto& m = platform->monitors;
    const Case cases[] = {
        {"monitor", MonitorTarget{1}, true, false, ResolvedMonitor{m[1]}},
        {"monitor past the end", MonitorTarget{2}, true, false,
         refused("there is no monitor 2; this desktop has 2 (numbered from 0)")},
        {"huge monitor index", MonitorTarget{18446744073709551615u}, true, false,
         refused("there is no monitor 18446744073709551615; this desktop has 2 (numbered from 0)")},
        {"region on the first monitor", RegionTarget{{10, 10, 100, 100}}, true, false,
         ResolvedRegion{{10, 10, 100, 100}, 0}},
        {"region across both, equal overlap picks the later", RegionTarget{{1900, 0, 40, 40}}, true,
         false, ResolvedRegion{{1900, 0, 40, 40}, 1}},
        {"region in the gap below the shorter monitor", RegionTarget{{2000, 1030, 10, 10}}, true,
         false, ResolvedRegion{{2000, 1030, 10, 10}, std::nullopt}},
        {"region exactly the bounding box", RegionTarget{{0, 0, 3200, 1080}}, true, false,
         ResolvedRegion{{0, 0, 3200, 1080}, 0}},
        {"region one pixel past the right edge", RegionTarget{{3100, 0, 101, 10}}, true, false,
         refused("the region 3100,0,101,10 is not inside the desktop 0,0,3200,1080")},
        {"region left of the desktop", RegionTarget{{-1, 0, 10, 10}}, true, false,
         refused("the region -1,0,10,10 is not inside the desktop 0,0,3200,1080")},
        {"region whose far edge overflows 32 bits",
         RegionTarget{{2147483647, 2147483647, 4294967295u, 4294967295u}}, true, false,
         refused("the region 2147483647,2147483647,4294967295,4294967295 is not inside the "
                 "desktop 0,0,3200,1080")},
    };
    for (const Case& c : cases) {
        check(c, resolve_target(*platform, c.target, c.allow_desktop, c.restore));
    }
}

TEST(ResolveTarget, NegativeCoordinatesAndSingleMonitorBox) {
    auto platform = std::make_shared<FakePlatform>();
    platform->monitors = {make_monitor(0, 0, 0, 1920, 1080, true),
                          make_monitor(1, -2560, -360, 2560, 1440)};
    EXPECT_EQ(resolve_target(*platform, RegionTarget{{-2560, -360, 4480, 1440}}, true, false),
              (ResolvedTarget{ResolvedRegion{{-2560, -360, 4480, 1440}, 1}}));
    EXPECT_EQ(resolve_target(*platform, RegionTarget{{-2561, 0, 10, 10}}, true, false).error(),
              refused("the region -2561,0,10,10 is not inside the desktop -2560,-360,4480,1440"));

    platform->monitors = {make_monitor(0, 0, 0, 1920, 1080, true)};
    EXPECT_EQ(resolve_target(*platform, RegionTarget{{100, 100, 5000, 50}}, true, false).error(),
              refused("the region 100,100,5000,50 is not inside the desktop 0,0,1920,1080"));
    EXPECT_EQ(resolve_target(*platform, MonitorTarget{1}, true, false).error(),
              refused("there is no monitor 1; this desktop has 1 (numbered from 0)"));
}

TEST(ResolveTarget, DesktopPolicyComesBeforeAnyPlatformCall) {
    auto platform = make_desktop();
    for (const CaptureTarget& target :
         {CaptureTarget{MonitorTarget{0}}, CaptureTarget{RegionTarget{{0, 0, 1, 1}}},
          CaptureTarget{MonitorTarget{99}}}) {
        auto result = resolve_target(*platform, target, false, true);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(),
                  refused("a monitor or region capture shows the whole desktop, so it needs "
                          "--allow-desktop"));
    }
    EXPECT_TRUE(platform->calls().empty());
    // Windows are never subject to it.
    EXPECT_TRUE(resolve_target(*platform, WindowTarget{"Orphan", {}}, false, false));
}

TEST(ResolveTarget, EmptyDesktopAndListingFailures) {
    auto platform = std::make_shared<FakePlatform>();
    EXPECT_EQ(resolve_target(*platform, MonitorTarget{0}, true, false).error(),
              refused("there is no monitor 0; this desktop has 0 (numbered from 0)"));
    EXPECT_EQ(resolve_target(*platform, RegionTarget{{0, 0, 1, 1}}, true, false).error(),
              CliError::failed("no monitors reported"));

    platform->monitors_error = CliError::failed("could not list monitors: broken");
    platform->windows_error = CliError::failed("could not list windows: broken");
    EXPECT_EQ(resolve_target(*platform, MonitorTarget{0}, true, false).error(),
              *platform->monitors_error);
    EXPECT_EQ(resolve_target(*platform, RegionTarget{{0, 0, 1, 1}}, true, false).error(),
              *platform->monitors_error);
    EXPECT_EQ(resolve_target(*platform, WindowTarget{"x", {}}, false, false).error(),
              *platform->windows_error);
}

TEST(ResolveRecordTarget, RegionMustLieOnOneMonitor) {
    auto platform = make_desktop();
    const auto& m = platform->monitors;
    EXPECT_EQ(resolve_record_target(*platform, RegionTarget{{1920, 1000, 1280, 24}}, true, false),
              (ResolvedRecordTarget{RecordRegion{{1920, 1000, 1280, 24}, m[1]},
                                    ResolvedRegion{{1920, 1000, 1280, 24}, 1}}));
    for (const Region& region : {Region{1900, 0, 40, 40}, Region{2000, 1030, 10, 10}}) {
        EXPECT_EQ(resolve_record_target(*platform, RegionTarget{region}, true, false).error(),
                  refused("a recorded region has to lie on one monitor"));
    }
    EXPECT_EQ(resolve_record_target(*platform, MonitorTarget{0}, true, false),
              (ResolvedRecordTarget{RecordMonitor{m[0]}, ResolvedMonitor{m[0]}}));
    const WindowInfo& calculator = platform->windows[5];
    EXPECT_EQ(resolve_record_target(*platform, WindowTarget{"Calculator", {}}, false, true),
              (ResolvedRecordTarget{RecordWindow{calculator}, ResolvedWindow{calculator}}));
    // Every still-capture rule applies to recordings too.
    EXPECT_EQ(resolve_record_target(*platform, WindowTarget{"Calculator", {}}, false, false)
                  .error()
                  .exit_code,
              ExitCode::kMinimized);
    EXPECT_EQ(resolve_record_target(*platform, RegionTarget{{0, 0, 1, 1}}, false, false)
                  .error()
                  .exit_code,
              ExitCode::kRefused);
}

TEST(NormalizeProcessName, TrimsFoldsAsciiAndDropsOneExe) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"Notepad.EXE", "notepad"},
        {"  notepad  ", "notepad"},
        {"notepad.exe.exe", "notepad.exe"},
        {"\xE2\x80\x83notepad.exe\xE2\x80\xA8", "notepad"},  // em space, line separator
        {"\xC2\x85\x0B\x0Cx\r\n", "x"},                      // next line, vertical tab, form feed
        {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},                  // zero-width space is no white space
        {"\xC3\x89.EXE", "\xC3\x89"},                        // only ASCII letters are folded
        {"\xFFx\xFF", "\xFFx\xFF"},                          // ill-formed bytes are kept
        {".exe", ""},
        {"  ", ""},
        {"notepad .exe", "notepad "},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(normalize_process_name(input), expected) << ::testing::PrintToString(input);
    }
}

TEST(DescribeTarget, ResultJsonMembers) {
    WindowInfo window =
        make_window(7, "Untitled - Notepad", "notepad.exe", 4242, {100, 50, 800, 600}, 0);
    EXPECT_EQ(
        json_text(target_json(describe_target(ResolvedWindow{window}))),
        R"({"kind":"window","pid":4242,"process":"notepad.exe","title":"Untitled - Notepad"})");
    window.process.reset();
    const TargetDescription no_process = describe_target(ResolvedWindow{window});
    EXPECT_EQ(no_process.monitor, 0u);
    EXPECT_EQ(json_text(target_json(no_process)),
              R"({"kind":"window","pid":4242,"process":null,"title":"Untitled - Notepad"})");
    const TargetDescription region =
        describe_target(ResolvedRegion{{2000, 1030, 10, 10}, std::nullopt});
    EXPECT_EQ(region.monitor, std::nullopt);
    EXPECT_EQ(json_text(target_json(region)),
              R"({"kind":"region","pid":null,"process":null,"title":null})");
    const TargetDescription monitor = describe_target(ResolvedMonitor{make_monitor(3, 0, 0, 1, 1)});
    EXPECT_EQ(monitor.monitor, 3u);
    EXPECT_EQ(json_text(target_json(monitor)),
              R"({"kind":"monitor","pid":null,"process":null,"title":null})");
}

}  // namespace
}  // namespace vantle
