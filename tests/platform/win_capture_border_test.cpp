#include <gtest/gtest.h>

#include "platform/win/capture_border.h"

namespace vantle::win {
namespace {

// A session and system that answer as told and count what they were asked.
class FakeBorder final : public CaptureBorder {
  public:
    FakeBorder(bool option, BorderlessAccess access, bool session_agrees)
        : option_(option), access_(access), session_agrees_(session_agrees) {}

    bool has_border_option() override { return option_; }
    BorderlessAccess request_borderless_access() override {
        ++requests;
        return access_;
    }
    bool leave_border_out() override {
        ++border_calls;
        return session_agrees_;
    }

    int requests = 0;
    int border_calls = 0;

  private:
    bool option_;
    BorderlessAccess access_;
    bool session_agrees_;
};

TEST(CaptureBorder, IsLeftOutOnlyWhereTheSystemAllowsIt) {
    struct Case {
        const char* name;
        bool option;
        BorderlessAccess access;
        bool session_agrees;
        int requests;
        int border_calls;
        bool border_off;
    };
    const Case cases[] = {
        {"no border option: nothing is asked", false, BorderlessAccess::kAllowed, true, 0, 0,
         false},
        {"allowed", true, BorderlessAccess::kAllowed, true, 1, 1, true},
        {"allowed but the session refuses", true, BorderlessAccess::kAllowed, false, 1, 1, false},
        {"refused: the border stays", true, BorderlessAccess::kRefused, true, 1, 0, false},
        {"no answer in time: the border stays", true, BorderlessAccess::kUnanswered, true, 1, 0,
         false},
        {"no request on this system: the option is tried as before", true,
         BorderlessAccess::kNoRequest, true, 1, 1, true},
    };
    for (const Case& c : cases) {
        FakeBorder border(c.option, c.access, c.session_agrees);
        BorderlessAnswer answer;
        EXPECT_EQ(choose_capture_border(border, answer), c.border_off) << c.name;
        EXPECT_EQ(border.requests, c.requests) << c.name;
        EXPECT_EQ(border.border_calls, c.border_calls) << c.name;
    }
}

TEST(CaptureBorder, TheSystemIsAskedOncePerProcess) {
    BorderlessAnswer answer;
    FakeBorder first(true, BorderlessAccess::kUnanswered, true);
    EXPECT_FALSE(choose_capture_border(first, answer));
    // A later session keeps the first answer, even where it would now be granted.
    FakeBorder later(true, BorderlessAccess::kAllowed, true);
    EXPECT_FALSE(choose_capture_border(later, answer));
    EXPECT_FALSE(choose_capture_border(later, answer));
    EXPECT_EQ(first.requests + later.requests, 1);
    EXPECT_EQ(later.border_calls, 0);
}

}  // namespace
}  // namespace vantle::win
