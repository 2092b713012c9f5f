#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "automation/run/capture.h"
#include "automation/run/targets.h"
#include "fakes/fake_platform.h"
#include "platform/restore_wait.h"

namespace vantle {
namespace {

using testing::FakePlatform;
using testing::make_minimized_window;
using testing::make_window;

// A title and a process name with a line feed, a tab, a C1 control and the
// line separator: each would break the message's one line if printed raw.
const std::string kTitle =
    "a\nb\tc\xC2\x85"
    "d\xE2\x80\xA8"
    "e";
const std::string kTitleQuoted = R"("a\nb\tc\u0085d\u2028e")";
const std::string kProcess = "p\rq.exe";
const std::string kProcessEscaped = R"(p\rq.exe)";

std::shared_ptr<FakePlatform> desktop() {
    auto platform = std::make_shared<FakePlatform>();
    platform->monitors = {testing::make_monitor(0, 0, 0, 640, 480, true, "m")};
    platform->windows = {make_window(1, kTitle, kProcess, 10, {0, 0, 10, 10}, 0),
                         make_window(2, kTitle, "other\x1b.exe", 11, {0, 0, 10, 10}, 0),
                         make_window(3, "Solo\n", kProcess, 12, {0, 0, 10, 10}, 0),
                         make_minimized_window(4, "Min\x7f", kProcess, 13)};
    return platform;
}

std::string capture_message(FakePlatform& platform, CaptureTarget target) {
    CaptureRequest request;
    request.out = "never-written.png";
    request.target = std::move(target);
    auto outcome = run_capture(platform, request, [](std::uint64_t) {});
    return outcome ? std::string("(no error)") : outcome.error().message;
}

TEST(OneLineMessages, EveryMessageThatQuotesATitleOrAProcessEscapesControlCharacters) {
    struct Case {
        const char* name;
        std::function<std::string()> message;
        std::string expected;
    };
    const Case cases[] = {
        {"no window with that title",
         [] {
             auto platform = desktop();
             return capture_message(*platform, WindowTarget{kTitle + "x", kProcess});
         },
         "no window is titled " + std::string(R"("a\nb\tc\u0085d\u2028ex")") + " in " +
             kProcessEscaped + "; `vantle windows` lists them"},
        {"several windows, their processes listed",
         [] {
             auto platform = desktop();
             return capture_message(*platform, WindowTarget{kTitle, std::nullopt});
         },
         "2 windows are titled " + kTitleQuoted + " (" + kProcessEscaped +
             R"( pid 10, other\u001b.exe pid 11); add --process or make the title unique)"},
        {"minimized without --restore",
         [] {
             auto platform = desktop();
             return capture_message(*platform, WindowTarget{"Min\x7f", std::nullopt});
         },
         R"("Min\u007f" is minimized; --restore shows it without taking focus, captures it and )"
         "minimizes it again"},
        {"closed since it was listed",
         [] {
             auto platform = desktop();
             platform->closed_windows = {3};
             return capture_message(*platform, WindowTarget{"Solo\n", std::nullopt});
         },
         R"(the window "Solo\n" has closed)"},
        {"would not restore",
         [] {
             auto now = std::chrono::steady_clock::time_point{};
             const RestoreClock clock{[&] { return now; },
                                      [&](std::chrono::milliseconds pause) { now += pause; }};
             return wait_until_restored(
                        kTitle, [] { return true; }, clock)
                 .error()
                 .message;
         },
         kTitleQuoted + " would not restore"},
        {"did not draw itself in time", [] { return not_drawn_message(kTitle); },
         "the window " + kTitleQuoted +
             " did not draw itself in time: parts of it that were covered or off the screen were "
             "still unpainted after 1000 ms, so its program may be busy or stopped"},
    };
    for (const Case& c : cases) {
        const std::string message = c.message();
        EXPECT_EQ(message, c.expected) << c.name;
    }
}

}  // namespace
}  // namespace vantle
