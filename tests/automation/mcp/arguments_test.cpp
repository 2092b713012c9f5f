#include <gtest/gtest.h>

#include <string>

#include "automation/mcp/arguments.h"

namespace vantle::mcp {
namespace {

using nlohmann::json;

struct TargetCase {
    const char* arguments;
    bool allow_desktop;
    std::variant<CaptureTarget, std::string> expected;
};

const std::string kNoTarget = "Name a window by its exact title (list_windows shows them).";
const std::string kTwoTargets = "Give one target: window, monitor or region.";
const std::string kDesktopOff =
    "Capturing a whole monitor or a region is off in Vantle's settings (Automation: \"Let "
    "automation capture the whole desktop\"). Name a window instead; list_windows shows them.";
const std::string kBadMonitor = "monitor is an index from list_windows' monitors";
const std::string kRegionShape = "region is {x, y, width, height}";
const std::string kRegionValues =
    "region is {x, y, width, height} with a positive width and height";

TEST(TargetArguments, FollowTheirOrderOfChecks) {
    const TargetCase cases[] = {
        {R"({})", true, kNoTarget},
        {R"({"window":5})", true, kNoTarget},
        {R"({"window":"","monitor":0})", true, kTwoTargets},
        {R"({"window":"a","region":null})", false, kTwoTargets},
        {R"({"window":""})", false, "The window title is empty."},
        {R"({"window":" Notepad ","process":" n.exe"})", false,
         WindowTarget{" Notepad ", " n.exe"}},
        {R"({"window":"Notepad","process":7})", false, WindowTarget{"Notepad", std::nullopt}},
        {R"({"monitor":"x"})", false, kDesktopOff},
        {R"({"region":{"x":0,"y":0,"width":1,"height":1}})", false, kDesktopOff},
        {R"({"monitor":1})", true, MonitorTarget{1}},
        {R"({"monitor":-1})", true, kBadMonitor},
        {R"({"monitor":1.0})", true, kBadMonitor},
        {R"({"monitor":"1"})", true, kBadMonitor},
        {R"({"monitor":null})", true, kBadMonitor},
        {R"({"region":{"x":-10,"y":-20,"width":300,"height":200}})", true,
         RegionTarget{Region{-10, -20, 300, 200}}},
        {R"({"region":[0,0,10,10]})", true, kRegionShape},
        {R"({"region":{"x":0,"y":0,"width":10,"height":0}})", true, kRegionValues},
        {R"({"region":{"x":0,"y":0,"width":-1,"height":5}})", true, kRegionValues},
        {R"({"region":{"x":0,"y":0,"width":10}})", true, kRegionValues},
        {R"({"region":{"x":0.0,"y":0,"width":10,"height":10}})", true, kRegionValues},
        {R"({"region":{"x":0,"y":0,"width":1e1,"height":10}})", true, kRegionValues},
        {R"({"region":{"x":2147483648,"y":0,"width":10,"height":10}})", true, kRegionValues},
        {R"({"region":{"x":-2147483649,"y":0,"width":10,"height":10}})", true, kRegionValues},
        {R"({"region":{"x":0,"y":0,"width":4294967297,"height":10}})", true, kRegionValues},
        {R"({"region":{"x":-2147483648,"y":2147483647,"width":2147483647,"height":1}})", true,
         RegionTarget{Region{-2147483648, 2147483647, 2147483647, 1}}},
    };
    for (const TargetCase& c : cases) {
        int loads = 0;
        const SettingsProvider settings = [&] {
            ++loads;
            Config config = default_config();
            config.automation_allow_desktop = c.allow_desktop;
            return config;
        };
        const auto result = parse_target_arguments(json::parse(c.arguments), settings);
        if (const auto* message = std::get_if<std::string>(&c.expected)) {
            ASSERT_FALSE(result.has_value()) << c.arguments;
            EXPECT_EQ(result.error(), *message) << c.arguments;
        } else {
            ASSERT_TRUE(result.has_value()) << c.arguments << ": " << result.error();
            EXPECT_EQ(*result, std::get<CaptureTarget>(c.expected)) << c.arguments;
        }
        const bool window = json::parse(c.arguments).contains("window");
        if (window) {
            EXPECT_EQ(loads, 0) << "a window target never loads the settings: " << c.arguments;
        }
    }
}

TEST(ArgumentTyping, CountsOnlyIntegersWrittenAsIntegers) {
    EXPECT_EQ(non_negative_integer(json::parse("1500")), 1500u);
    EXPECT_EQ(non_negative_integer(json::parse("18446744073709551615")), 18446744073709551615u);
    EXPECT_EQ(non_negative_integer(json::parse("1500.0")), std::nullopt);
    EXPECT_EQ(non_negative_integer(json::parse("1e3")), std::nullopt);
    EXPECT_EQ(non_negative_integer(json::parse("-5")), std::nullopt);
    EXPECT_EQ(non_negative_integer(json::parse("\"5\"")), std::nullopt);
    EXPECT_EQ(signed_integer(json::parse("-9223372036854775808")), INT64_MIN);
    EXPECT_EQ(signed_integer(json::parse("9223372036854775808")), std::nullopt);
    EXPECT_FALSE(flag_argument(json::parse(R"({"cursor":"true"})"), "cursor"));
    EXPECT_FALSE(flag_argument(json::parse(R"({"cursor":1})"), "cursor"));
    EXPECT_TRUE(flag_argument(json::parse(R"({"cursor":true})"), "cursor"));
    EXPECT_EQ(text_argument(json::parse(R"({"out":null})"), "out"), std::nullopt);
}

}  // namespace
}  // namespace vantle::mcp
