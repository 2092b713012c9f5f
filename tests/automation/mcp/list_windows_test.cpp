#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "automation/mcp/tools.h"
#include "fakes/fake_platform.h"

namespace vantle::mcp {
namespace {

using nlohmann::json;

std::vector<std::string> titles_listed(Platform& platform, const char* arguments) {
    const json result = list_windows(platform, json::parse(arguments));
    EXPECT_EQ(result["isError"], false) << arguments;
    const json listing = json::parse(result["content"][0]["text"].get<std::string>());
    EXPECT_EQ(listing["monitors"].size(), 2u) << "monitors are never filtered";
    std::vector<std::string> titles;
    for (const json& window : listing["windows"]) {
        titles.push_back(window["title"]);
    }
    return titles;
}

TEST(ListWindows, FiltersByTitleAndProcess) {
    auto desktop = testing::make_standard_desktop();
    desktop->windows.push_back(testing::make_window(20, "\xC3\x89T\xC3\x89 \xCE\x9F\xCE\xA3",
                                                    " WinWord.EXE ", 12, Region{0, 0, 10, 10}, 0));
    using Titles = std::vector<std::string>;
    const Titles all = {"Untitled - Notepad", "Calculator", "Report.docx",
                        "\xC3\x89T\xC3\x89 \xCE\x9F\xCE\xA3"};
    const std::pair<const char*, Titles> cases[] = {
        {R"({})", all},
        {R"({"title_contains":""})", all},
        {R"({"title_contains":5,"process":null})", all},
        {R"({"title_contains":"NOTEPAD"})", {"Untitled - Notepad"}},
        {R"({"title_contains":"o"})", {"Untitled - Notepad", "Calculator", "Report.docx"}},
        // Unicode lower-casing on both sides, final sigma included.
        {R"({"title_contains":"été ος"})", {all[3]}},
        {R"({"title_contains":"ÉTÉ"})", {all[3]}},
        {R"({"process":"  NOTEPAD.exe "})", {"Untitled - Notepad"}},
        {R"({"process":"winword.exe"})", {"Report.docx", all[3]}},
        {R"({"process":""})", {}},
        {R"({"process":"calc"})", {}},
        {R"({"title_contains":"report","process":"winword.exe"})", {"Report.docx"}},
    };
    for (const auto& [arguments, titles] : cases) {
        EXPECT_EQ(titles_listed(*desktop, arguments), titles) << arguments;
    }
}

TEST(ListWindows, ReportsAListingFailure) {
    auto desktop = testing::make_standard_desktop();
    desktop->windows_error = CliError::failed("could not list the windows");
    EXPECT_EQ(
        json(list_windows(*desktop, json::object())).dump(),
        R"({"content":[{"text":"could not list the windows","type":"text"}],"isError":true})");
}

}  // namespace
}  // namespace vantle::mcp
