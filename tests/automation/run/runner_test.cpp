#include <gtest/gtest.h>

#include "automation/run/runner.h"
#include "automation/run/usage.h"
#include "fakes/fake_platform.h"
#include "support/writer.h"

namespace vantle {
namespace {

using testing::FakePlatform;
using testing::make_minimized_window;
using testing::make_monitor;
using testing::make_window;

// A writer whose every write and flush fails, as a closed pipe would.
class BrokenWriter final : public Writer {
  public:
    bool write(std::string_view) override { return false; }
    bool flush() override { return false; }
};

class EmptyReader final : public Reader {
  public:
    std::ptrdiff_t read(std::span<char>) override { return 0; }
};

struct Outcome {
    std::uint32_t status = 0;
    std::string out;
    std::string err;
};

class RunnerTest : public ::testing::Test {
  protected:
    Outcome run(Command command) {
        StringWriter out;
        StringWriter err;
        EmptyReader in;
        Outcome result;
        result.status = run_command(std::move(command), platform_, in, out, err);
        result.out = out.text();
        result.err = err.text();
        return result;
    }

    std::shared_ptr<FakePlatform> platform_ = std::make_shared<FakePlatform>();
};

TEST_F(RunnerTest, HelpAndVersionGoToStandardOutput) {
    const Outcome help = run(Help{});
    EXPECT_EQ(help.status, 0u);
    EXPECT_EQ(help.out, std::string(usage_text()) + "\n");
    EXPECT_EQ(help.err, "");

    const Outcome version = run(Version{});
    EXPECT_EQ(version.status, 0u);
    EXPECT_EQ(version.out, "vantle 0.3.0\n");
    EXPECT_EQ(version.err, "");
    EXPECT_TRUE(platform_->calls().empty());
}

TEST_F(RunnerTest, ListsAnEmptyDesktop) {
    EXPECT_EQ(run(Windows{.json = true}).out, "{\"monitors\":[],\"windows\":[]}\n");
    const Outcome text = run(Windows{.json = false});
    EXPECT_EQ(text.status, 0u);
    EXPECT_EQ(text.out, "");
    EXPECT_EQ(text.err, "");
}

// Titles are shown as JSON text in both forms, so the same escapes appear in
// the listing a person reads.
class WindowsListingTest : public RunnerTest {
  protected:
    void SetUp() override {
        platform_->monitors = {make_monitor(0, 0, 0, 1920, 1080, true, "\\\\.\\DISPLAY1"),
                               make_monitor(1, -2560, 0, 2560, 1440, false, "\\\\.\\DISPLAY2")};
        platform_->windows = {
            make_window(7, "Untitled - Notepad", "notepad.exe", 4242, {100, 50, 800, 600}, 0),
            make_minimized_window(8, "Calculator", std::nullopt, 77),
            make_window(9, "say \"hi\" C:\\tmp\x01\t caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC/",
                        "caf\xC3\xA9.exe", 5, {-3000, -10, 10, 20}, std::nullopt),
        };
    }
};

TEST_F(WindowsListingTest, PrintsOneCompactJsonObjectInMemberOrder) {
    const Outcome result = run(Windows{.json = true});
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(
        result.out,
        "{\"monitors\":["
        "{\"height\":1080,\"index\":0,\"name\":\"\\\\\\\\.\\\\DISPLAY1\",\"primary\":true,"
        "\"width\":1920,\"x\":0,\"y\":0},"
        "{\"height\":1440,\"index\":1,\"name\":\"\\\\\\\\.\\\\DISPLAY2\",\"primary\":false,"
        "\"width\":2560,\"x\":-2560,\"y\":0}],"
        "\"windows\":["
        "{\"height\":600,\"minimized\":false,\"monitor\":0,\"pid\":4242,\"process\":\"notepad."
        "exe\","
        "\"title\":\"Untitled - Notepad\",\"width\":800,\"x\":100,\"y\":50},"
        "{\"height\":null,\"minimized\":true,\"monitor\":null,\"pid\":77,\"process\":null,"
        "\"title\":\"Calculator\",\"width\":null,\"x\":null,\"y\":null},"
        "{\"height\":20,\"minimized\":false,\"monitor\":null,\"pid\":5,\"process\":\"caf\xC3\xA9."
        "exe\","
        "\"title\":\"say \\\"hi\\\" C:\\\\tmp\\u0001\\t caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC/\","
        "\"width\":10,\"x\":-3000,\"y\":-10}]}\n");
    EXPECT_EQ(platform_->calls(),
              (std::vector<std::string>{"enumerate_monitors", "enumerate_windows"}));
}

TEST_F(WindowsListingTest, PrintsWindowsThenMonitorsAsText) {
    const Outcome result = run(Windows{.json = false});
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "\"Untitled - Notepad\"  [notepad.exe pid 4242]  800x600 at 100,50  monitor 0\n"
              "\"Calculator\"  [? pid 77]  minimized\n"
              "\"say \\\"hi\\\" C:\\\\tmp\\u0001\\t caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC/\"  "
              "[caf\xC3\xA9.exe pid 5]  10x20 at -3000,-10  monitor null\n"
              "monitor 0: 1920x1080 at 0,0 (primary)  \\\\.\\DISPLAY1\n"
              "monitor 1: 2560x1440 at -2560,0  \\\\.\\DISPLAY2\n");
}

TEST_F(WindowsListingTest, ReplacesIllFormedTextInBothForms) {
    platform_->monitors = {make_monitor(0, 0, 0, 10, 10, false, "bad\xFF")};
    platform_->windows = {make_window(1, "t\xC3", "p\xFE.exe", 1, {0, 0, 1, 1}, 0)};
    EXPECT_EQ(run(Windows{.json = false}).out,
              "\"t\xEF\xBF\xBD\"  [p\xEF\xBF\xBD.exe pid 1]  1x1 at 0,0  monitor 0\n"
              "monitor 0: 10x10 at 0,0  bad\xEF\xBF\xBD\n");
    EXPECT_EQ(run(Windows{.json = true}).out,
              "{\"monitors\":[{\"height\":10,\"index\":0,\"name\":\"bad\xEF\xBF\xBD\","
              "\"primary\":false,\"width\":10,\"x\":0,\"y\":0}],\"windows\":[{\"height\":1,"
              "\"minimized\":false,\"monitor\":0,\"pid\":1,\"process\":\"p\xEF\xBF\xBD.exe\","
              "\"title\":\"t\xEF\xBF\xBD\",\"width\":1,\"x\":0,\"y\":0}]}\n");
}

TEST_F(WindowsListingTest, StopsWhenTheMonitorsCannotBeListed) {
    platform_->monitors_error = CliError::failed("could not list monitors: broken (0x80004005)");
    for (bool json : {false, true}) {
        platform_->clear_calls();
        const Outcome result = run(Windows{.json = json});
        EXPECT_EQ(result.status, 1u);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "vantle: could not list monitors: broken (0x80004005)\n");
        EXPECT_EQ(platform_->calls(), std::vector<std::string>{"enumerate_monitors"});
    }
}

TEST_F(WindowsListingTest, ReportsAFailedWindowListing) {
    platform_->windows_error = CliError::failed("could not list windows");
    const Outcome result = run(Windows{.json = true});
    EXPECT_EQ(result.status, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "vantle: could not list windows\n");
}

TEST_F(WindowsListingTest, KeepsTheExitCodeOfTheError) {
    platform_->windows_error = CliError::refused("not here");
    EXPECT_EQ(run(Windows{}).status, 2u);
}

TEST_F(WindowsListingTest, AFailedWriteDoesNotChangeTheStatus) {
    BrokenWriter broken;
    EmptyReader in;
    EXPECT_EQ(run_command(Windows{.json = true}, platform_, in, broken, broken), 0u);
    platform_->monitors_error = CliError::failed("gone");
    EXPECT_EQ(run_command(Windows{.json = true}, platform_, in, broken, broken), 1u);
}

TEST(Runner, ReleasesThePlatformWhenTheCommandEnds) {
    auto platform = std::make_shared<FakePlatform>();
    const std::weak_ptr<FakePlatform> watch = platform;
    StringWriter out;
    StringWriter err;
    EmptyReader in;
    EXPECT_EQ(run_command(Windows{}, std::move(platform), in, out, err), 0u);
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace vantle
