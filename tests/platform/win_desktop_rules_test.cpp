#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/win/desktop_rules.h"
#include "support/logger.h"
#include "support/writer.h"

namespace vantle::win {
namespace {

using ::testing::ElementsAre;

TEST(WindowsMajorFromBuild, ReadsTheBuildNumberAndFallsBackToSeven) {
    struct Case {
        std::optional<std::u16string> build;
        unsigned major;
    };
    const Case cases[] = {
        {std::nullopt, 7},
        {u"7601", 7},
        {u"9199", 7},
        {u"9200", 8},
        {u"10239", 8},
        {u"10240", 10},
        {u"21999", 10},
        {u"22000", 11},
        {u"4294967295", 11},
        {std::u16string(u"22631\0"
                        u"7",
                        7),
         11},  // cut at the first NUL
        {u"", 7},
        {u"22000 ", 7},
        {u" 22000", 7},
        {u"+22000", 7},
        {u"-1", 7},
        {u"4294967296", 7},  // does not fit 32 bits
        {u"99999999999999999999", 7},
        {u"\uFF12\uFF12\uFF10\uFF10\uFF10", 7},  // full-width digits are no number
    };
    for (const Case& c : cases) {
        const std::optional<std::u16string_view> view =
            c.build ? std::optional<std::u16string_view>(*c.build) : std::nullopt;
        EXPECT_EQ(windows_major_from_build(view), c.major)
            << (c.build ? std::string(c.build->begin(), c.build->end()) : "none");
    }
    EXPECT_TRUE(gdi_alpha_is_unset(7));
    EXPECT_FALSE(gdi_alpha_is_unset(8));
    EXPECT_FALSE(gdi_alpha_is_unset(10));
}

TEST(BgraToRgba, SwapsRedAndBlueAndOpaquesTransparentPixelsOnlyWhenAsked) {
    const std::vector<std::uint8_t> gdi = {1, 2, 3, 0, 4, 5, 6, 128, 7, 8, 9, 255};
    std::vector<std::uint8_t> seven = gdi;
    bgra_to_rgba(seven, true);
    EXPECT_THAT(seven, ElementsAre(3, 2, 1, 255, 6, 5, 4, 128, 9, 8, 7, 255));
    std::vector<std::uint8_t> later = gdi;
    bgra_to_rgba(later, false);
    EXPECT_THAT(later, ElementsAre(3, 2, 1, 0, 6, 5, 4, 128, 9, 8, 7, 255));
}

TEST(ImageFileName, TakesTheLastComponentWhenItIsAFileName) {
    struct Case {
        std::u16string path;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {u"C:\\Windows\\System32\\notepad.exe", "notepad.exe"},
        {u"\\\\?\\C:\\Program Files\\App\\app.exe", "app.exe"},
        {u"\\Device\\HarddiskVolume3\\x.exe", "x.exe"},
        {u"C:/tools/forward.exe", "forward.exe"},
        {u"bare.exe", "bare.exe"},
        {u"C:\\apps\\\u00E9diteur \u65E5\u672C.exe",
         "\xC3\xA9"
         "diteur \xE6\x97\xA5\xE6\x9C\xAC.exe"},
        {u"C:\\apps\\bad\xD800.exe", "bad\xEF\xBF\xBD.exe"},
        {u"C:\\apps\\", std::nullopt},
        {u"", std::nullopt},
        {u"C:\\apps\\..", std::nullopt},
        {u"C:\\apps\\.", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(image_file_name(c.path), c.name) << std::string(c.path.begin(), c.path.end());
    }
}

TEST(MonitorDeviceName, StopsAtTheFirstNulAndRefusesUnpairedSurrogates) {
    std::u16string device(32, u'\0');
    device.replace(0, 12, u"\\\\.\\DISPLAY1");
    EXPECT_EQ(monitor_device_name(device), "\\\\.\\DISPLAY1");
    EXPECT_EQ(monitor_device_name(std::u16string(32, u'A')), std::string(32, 'A'));
    EXPECT_EQ(monitor_device_name(std::u16string(u"D\xD83D\xDE00\0\xD800", 5)),
              "D\xF0\x9F\x98\x80");  // a pair is fine, and what follows the NUL is ignored
    EXPECT_EQ(monitor_device_name(u"D\xD800X"), "");
    EXPECT_EQ(monitor_device_name(u"D\xDC00"), "");
    EXPECT_EQ(monitor_device_name(u"D\xD800"), "");
}

TEST(FrameRegion, KeepsFramesOfAtLeastOnePixel) {
    EXPECT_EQ(frame_region({-10, 5, 90, 55}), (Region{-10, 5, 100, 50}));
    EXPECT_EQ(frame_region({0, 0, 1, 1}), (Region{0, 0, 1, 1}));
    EXPECT_EQ(frame_region({3, 3, 3, 40}), std::nullopt);
    EXPECT_EQ(frame_region({3, 3, 40, 3}), std::nullopt);
    EXPECT_EQ(frame_region({40, 3, 3, 40}), std::nullopt);
    // A reversed rectangle at the ends of the range must not wrap into a size.
    EXPECT_EQ(frame_region({INT32_MAX, 0, INT32_MIN, 10}), std::nullopt);
}

// A scripted desktop for the listing rules that notes every question asked.
struct FakeWindow {
    bool visible = true;
    std::uint32_t pid = 100;
    std::u16string title = u"Window";
    std::optional<bool> cloaked = false;
    bool iconic = false;
    std::optional<FrameRect> extended = FrameRect{0, 0, 100, 100};
    std::optional<FrameRect> rect = FrameRect{-8, -8, 108, 108};
};

class FakeQueries final : public WindowQueries {
  public:
    std::map<std::uint64_t, FakeWindow> windows;
    std::map<std::uint32_t, std::optional<std::u16string>> images;
    std::vector<std::string> asked;

    bool visible(std::uint64_t h) override { return note("visible", h).visible; }
    std::uint32_t owner_pid(std::uint64_t h) override { return note("pid", h).pid; }
    std::u16string title(std::uint64_t h) override { return note("title", h).title; }
    std::optional<bool> cloaked(std::uint64_t h) override { return note("cloaked", h).cloaked; }
    bool iconic(std::uint64_t h) override { return note("iconic", h).iconic; }
    std::optional<FrameRect> extended_frame(std::uint64_t h) override {
        return note("extended", h).extended;
    }
    std::optional<FrameRect> window_rect(std::uint64_t h) override { return note("rect", h).rect; }
    std::optional<std::u16string> image_path(std::uint32_t pid) override {
        asked.push_back("image " + std::to_string(pid));
        const auto found = images.find(pid);
        return found == images.end() ? std::nullopt : found->second;
    }

  private:
    const FakeWindow& note(const char* what, std::uint64_t h) {
        asked.push_back(std::string(what) + " " + std::to_string(h));
        return windows.at(h);
    }
};

const std::vector<MonitorInfo> kTwoMonitors = {
    {0, "\\\\.\\DISPLAY1", 0, 0, 1000, 800, true},
    {1, "\\\\.\\DISPLAY2", 1000, 0, 1000, 800, false},
};

std::vector<std::string> titles(const std::vector<WindowInfo>& windows) {
    std::vector<std::string> out;
    for (const WindowInfo& w : windows) {
        out.push_back(w.title);
    }
    return out;
}

TEST(CollectWindows, SkipsWhatCannotBeNamedOrSeenAndKeepsTheSystemOrder) {
    FakeQueries q;
    const std::uint32_t own = 42;
    q.windows[1] = {.title = u"  padded  "};
    q.windows[2] = {.visible = false, .title = u"hidden"};
    q.windows[3] = {.pid = own, .title = u"mine"};
    q.windows[4] = {.title = u""};
    q.windows[5] = {.title = u" \t\u3000\u00A0\u2028"};  // only Unicode white space
    q.windows[6] = {.title = u"cloaked", .cloaked = true};
    q.windows[7] = {.title = u"cloak unknown", .cloaked = std::nullopt};
    q.windows[8] = {.title = u"flat", .extended = FrameRect{0, 0, 100, 0}};
    q.windows[9] = {.title = u"no frame", .extended = std::nullopt, .rect = std::nullopt};
    q.windows[10] = {.title = u"\u65E5\u672C\u8A9E \xD800"};
    const std::vector<std::uint64_t> order = {10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    const auto listed = collect_windows(order, q, own, kTwoMonitors);
    EXPECT_THAT(titles(listed), ElementsAre("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xEF\xBF\xBD",
                                            "cloak unknown", "  padded  "));
}

TEST(CollectWindows, AsksInTheOrderOfTheRulesAndStopsAtTheFirstThatFails) {
    FakeQueries q;
    q.windows[1] = {.visible = false};
    q.windows[2] = {.pid = 42};
    q.windows[3] = {.title = u" "};
    q.windows[4] = {.cloaked = true};
    q.windows[5] = {.iconic = true};
    const std::vector<std::uint64_t> order = {1, 2, 3, 4, 5};
    q.images[100] = u"C:\\a.exe";
    (void)collect_windows(order, q, 42, kTwoMonitors);
    EXPECT_THAT(q.asked,
                ElementsAre("visible 1",                                   //
                            "visible 2", "pid 2",                          //
                            "visible 3", "pid 3", "title 3",               //
                            "visible 4", "pid 4", "title 4", "cloaked 4",  //
                            "visible 5", "pid 5", "title 5", "cloaked 5", "iconic 5", "image 100"));
}

TEST(CollectWindows, MinimizedWindowsHaveNoFrameAndNoMonitor) {
    FakeQueries q;
    q.windows[1] = {.title = u"min", .iconic = true};
    const std::vector<std::uint64_t> order = {1};
    const auto listed = collect_windows(order, q, 42, kTwoMonitors);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(listed[0].minimized);
    EXPECT_EQ(listed[0].x, std::nullopt);
    EXPECT_EQ(listed[0].width, std::nullopt);
    EXPECT_EQ(listed[0].monitor, std::nullopt);
    EXPECT_EQ(listed[0].pid, 100u);
}

TEST(CollectWindows, TakesTheVisibleFrameElseTheWindowRectangleAndItsMonitor) {
    struct Case {
        std::optional<FrameRect> extended;
        std::optional<FrameRect> rect;
        Region frame;
        std::optional<std::uint64_t> monitor;
    };
    const Case cases[] = {
        {FrameRect{1100, 10, 1300, 110}, FrameRect{0, 0, 1, 1}, {1100, 10, 200, 100}, 1},
        {std::nullopt, FrameRect{-20, 5, 80, 55}, {-20, 5, 100, 50}, 0},
        // Equal overlap with both monitors: the later one.
        {FrameRect{900, 0, 1100, 100}, std::nullopt, {900, 0, 200, 100}, 1},
        {FrameRect{-500, -500, -400, -400}, std::nullopt, {-500, -500, 100, 100}, std::nullopt},
    };
    for (const Case& c : cases) {
        FakeQueries q;
        q.windows[7] = {.title = u"w", .extended = c.extended, .rect = c.rect};
        const std::vector<std::uint64_t> order = {7};
        const auto listed = collect_windows(order, q, 42, kTwoMonitors);
        ASSERT_EQ(listed.size(), 1u);
        const WindowInfo& w = listed[0];
        EXPECT_EQ(w.handle, 7u);
        EXPECT_FALSE(w.minimized);
        EXPECT_EQ((Region{*w.x, *w.y, *w.width, *w.height}), c.frame);
        EXPECT_EQ(w.monitor, c.monitor);
    }
}

TEST(CollectWindows, AsksEachProcessOnceAndListsWindowsItCannotName) {
    FakeQueries q;
    q.windows[1] = {.pid = 7, .title = u"a"};
    q.windows[2] = {.pid = 8, .title = u"b"};
    q.windows[3] = {.pid = 7, .title = u"c"};
    q.windows[4] = {.pid = 8, .title = u"d"};
    q.windows[5] = {.pid = 9, .title = u"e"};
    q.images[7] = u"C:\\Windows\\notepad.exe";
    q.images[9] = u"C:\\dir\\";
    const std::vector<std::uint64_t> order = {1, 2, 3, 4, 5};
    const auto listed = collect_windows(order, q, 42, kTwoMonitors);
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(listed[0].process, "notepad.exe");
    EXPECT_EQ(listed[1].process, std::nullopt);
    EXPECT_EQ(listed[2].process, "notepad.exe");
    EXPECT_EQ(listed[3].process, std::nullopt);
    EXPECT_EQ(listed[4].process, std::nullopt);
    std::vector<std::string> image_questions;
    for (const std::string& a : q.asked) {
        if (a.starts_with("image")) {
            image_questions.push_back(a);
        }
    }
    EXPECT_THAT(image_questions, ElementsAre("image 7", "image 8", "image 9"));
}

TEST(CollectMonitors, NumbersInOrderAndFailsWholeWhenOneCannotBeRead) {
    std::vector<Result<MonitorReading>> readings;
    std::u16string first(32, u'\0');
    first.replace(0, 5, u"DISP1");
    readings.push_back(MonitorReading{first, false, {-1920, 0, 1920, 1080}});
    readings.push_back(MonitorReading{u"DISP2\xD800", true, {0, 0, 2560, 1440}});
    const auto read = [&](std::size_t i) { return readings.at(i); };
    const auto monitors = collect_monitors(readings.size(), read);
    ASSERT_TRUE(monitors);
    EXPECT_THAT(*monitors, ElementsAre(MonitorInfo{0, "DISP1", -1920, 0, 1920, 1080, false},
                                       MonitorInfo{1, "", 0, 0, 2560, 1440, true}));

    readings.push_back(std::unexpected(Error("The parameter is incorrect. (0x80070057)")));
    const auto failed = collect_monitors(readings.size(), read);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().render(), "The parameter is incorrect. (0x80070057)");

    const auto none = collect_monitors(0, read);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

class FitMonitorPicture : public ::testing::Test {
  protected:
    void SetUp() override { set_log_sink_for_testing(&log_); }
    void TearDown() override { set_log_sink_for_testing(nullptr); }
    StringWriter log_;
};

TEST_F(FitMonitorPicture, LeavesAMatchingPictureAlone) {
    RgbaImage picture{2, 1, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(fit_monitor_picture(picture, {10, 20, 2, 1}), picture);
    EXPECT_EQ(log_.text(), "");
}

TEST_F(FitMonitorPicture, ResamplesAChangedModeToTheFirstSizeWithOneWarning) {
    // A uniform picture stays uniform under any resampling, so the values show
    // that the pixels came through and only the size changed.
    RgbaImage picture{4, 2, {}};
    for (int i = 0; i < 8; ++i) {
        picture.pixels.insert(picture.pixels.end(), {40, 80, 120, 255});
    }
    const RgbaImage fitted = fit_monitor_picture(picture, {-1280, 0, 2, 3});
    EXPECT_EQ(fitted.width, 2u);
    EXPECT_EQ(fitted.height, 3u);
    ASSERT_EQ(fitted.pixels.size(), 2u * 3u * 4u);
    for (std::size_t i = 0; i < fitted.pixels.size(); i += 4) {
        EXPECT_THAT(std::vector<std::uint8_t>(fitted.pixels.begin() + static_cast<long>(i),
                                              fitted.pixels.begin() + static_cast<long>(i) + 4),
                    ElementsAre(40, 80, 120, 255));
    }
    EXPECT_EQ(log_.text(),
              "vantle: WARN: monitor 2x3 at -1280,0 returned a 4x2 buffer; resampling to fit\n");
}

TEST(PointerSize, HalvesMonochromeMasksAndRefusesEmptyPointers) {
    EXPECT_EQ(pointer_size(32, 32, true), (PointerSize{32, 32}));
    EXPECT_EQ(pointer_size(32, 64, false), (PointerSize{32, 32}));
    EXPECT_EQ(pointer_size(32, 65, false), (PointerSize{32, 32}));
    EXPECT_EQ(pointer_size(32, 1, false), std::nullopt);
    EXPECT_EQ(pointer_size(0, 32, true), std::nullopt);
    EXPECT_EQ(pointer_size(32, 0, true), std::nullopt);
    EXPECT_EQ(pointer_size(-4, 32, true), std::nullopt);
}

// A 3 x 2 picture whose pixel (c, r) is R = 10 * c + r, G = 100, B = 200, A = 7.
RgbaImage numbered_picture() {
    RgbaImage p{3, 2, {}};
    for (std::uint8_t r = 0; r < 2; ++r) {
        for (std::uint8_t c = 0; c < 3; ++c) {
            p.pixels.insert(p.pixels.end(), {static_cast<std::uint8_t>(10 * c + r), 100, 200, 7});
        }
    }
    return p;
}

TEST(PointerPixels, BackdropHoldsTheCoveredPixelsOpaqueAndZeroOffThePicture) {
    // A 2 x 2 pointer sticking out above and left of the picture by one pixel.
    const auto backdrop = pointer_backdrop(numbered_picture(), {-1, -1}, {2, 2});
    EXPECT_THAT(backdrop, ElementsAre(0, 0, 0, 0, 0, 0, 0, 0,  //
                                      0, 0, 0, 0, 200, 100, 0, 255));
    // Sticking out at the right and bottom.
    const auto corner = pointer_backdrop(numbered_picture(), {2, 1}, {2, 2});
    EXPECT_THAT(corner, ElementsAre(200, 100, 21, 255, 0, 0, 0, 0,  //
                                    0, 0, 0, 0, 0, 0, 0, 0));
}

TEST(PointerPixels, WriteBackChangesOnlyCoveredPixelsAndMakesThemOpaque) {
    RgbaImage picture = numbered_picture();
    // The drawn bitmap: every pixel B 1, G 2, R 3, A 0 (GDI's alpha is not trusted).
    const std::vector<std::uint8_t> drawn = {1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0};
    pointer_write_back(picture, {1, -1}, {2, 2}, drawn);
    const RgbaImage untouched = numbered_picture();
    for (std::size_t i = 0; i < picture.pixels.size(); i += 4) {
        const std::size_t pixel = i / 4;
        const bool covered = pixel == 1 || pixel == 2;  // row 0, columns 1 and 2
        const std::vector<std::uint8_t> got(picture.pixels.begin() + static_cast<long>(i),
                                            picture.pixels.begin() + static_cast<long>(i) + 4);
        if (covered) {
            EXPECT_THAT(got, ElementsAre(3, 2, 1, 255)) << pixel;
        } else {
            EXPECT_THAT(got, ElementsAre(untouched.pixels[i], untouched.pixels[i + 1],
                                         untouched.pixels[i + 2], untouched.pixels[i + 3]))
                << pixel;
        }
    }
    // A bitmap too small for the size is ignored rather than read past its end.
    RgbaImage again = numbered_picture();
    pointer_write_back(again, {0, 0}, {2, 2}, std::vector<std::uint8_t>(4));
    EXPECT_EQ(again, numbered_picture());
}

}  // namespace
}  // namespace vantle::win
