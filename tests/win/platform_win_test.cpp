#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/make_platform.h"
#include "platform/win/desktop_win.h"
#include "platform/win/screen_win.h"
#include "support/utf.h"

namespace vantle {
namespace {

using namespace std::chrono_literals;

// IDC_ARROW in its wide form (the build does not define UNICODE).
const wchar_t* const kArrow = MAKEINTRESOURCEW(32512);
constexpr const wchar_t* kClassName = L"VantlePlatformTestWindow";

// The client colour of the test windows: every channel different, so a swapped
// or shifted channel shows.
constexpr std::uint8_t kRed = 0x2E;
constexpr std::uint8_t kGreen = 0x8B;
constexpr std::uint8_t kBlue = 0xD4;

// A top-level window of this process, run by a thread of its own with its own
// message loop, so the window answers while the test thread waits on it.
class TestWindow {
  public:
    static constexpr UINT kShowCursor = WM_APP + 1;

    TestWindow(const std::wstring& title, int x, int y, int width, int height)
        : thread_([this, title, x, y, width, height] { run(title, x, y, width, height); }) {
        handle_ = created_.get_future().get();
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;
    ~TestWindow() {
        if (handle_ != nullptr) {
            PostMessageW(handle_, WM_CLOSE, 0, 0);
        }
        thread_.join();
    }

    [[nodiscard]] HWND handle() const { return handle_; }
    [[nodiscard]] std::uint64_t id() const {
        return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle_));
    }
    // Makes the window show `cursor` (none hides the pointer) whenever the
    // pointer is over it; its own thread sets it, as the system expects.
    void show_cursor(HCURSOR cursor) {
        SendMessageW(handle_, kShowCursor, 0, reinterpret_cast<LPARAM>(cursor));
    }
    // The client area in desktop coordinates.
    [[nodiscard]] Region client() const {
        RECT rect{};
        GetClientRect(handle_, &rect);
        POINT origin{0, 0};
        ClientToScreen(handle_, &origin);
        return Region{origin.x, origin.y, static_cast<std::uint32_t>(rect.right),
                      static_cast<std::uint32_t>(rect.bottom)};
    }

  private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        if (message == kShowCursor) {
            SetWindowLongPtrW(window, GWLP_USERDATA, l);
            SetWindowLongPtrW(window, 0, 1);
            SetCursor(reinterpret_cast<HCURSOR>(l));
            return 0;
        }
        if (message == WM_SETCURSOR && GetWindowLongPtrW(window, 0) != 0) {
            SetCursor(reinterpret_cast<HCURSOR>(GetWindowLongPtrW(window, GWLP_USERDATA)));
            return TRUE;
        }
        return DefWindowProcW(window, message, w, l);
    }

    static ATOM window_class() {
        static const ATOM atom = [] {
            WNDCLASSEXW c{};
            c.cbSize = sizeof c;
            c.lpfnWndProc = procedure;
            c.cbWndExtra = sizeof(LONG_PTR);  // whether the test chose the cursor
            c.hInstance = GetModuleHandleW(nullptr);
            c.hCursor = LoadCursorW(nullptr, kArrow);
            c.hbrBackground = CreateSolidBrush(RGB(kRed, kGreen, kBlue));
            c.lpszClassName = kClassName;
            return RegisterClassExW(&c);
        }();
        return atom;
    }

    void run(const std::wstring& title, int x, int y, int width, int height) {
        (void)window_class();
        HWND window =
            CreateWindowExW(0, kClassName, title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, x, y,
                            width, height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        created_.set_value(window);
        if (window == nullptr) {
            return;
        }
        UpdateWindow(window);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    std::promise<HWND> created_;
    HWND handle_ = nullptr;
    std::thread thread_;
};

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::optional<WindowInfo> listed(const std::vector<WindowInfo>& windows, std::uint64_t id) {
    const auto found = std::find_if(windows.begin(), windows.end(),
                                    [&](const WindowInfo& w) { return w.handle == id; });
    return found == windows.end() ? std::nullopt : std::optional<WindowInfo>(*found);
}

// The listing with this process's own windows in it, which the program itself
// always leaves out.
std::vector<WindowInfo> windows_including_ours() {
    const auto monitors = win::list_monitors();
    EXPECT_TRUE(monitors) << monitors.error().render();
    const auto windows = win::list_windows(monitors ? *monitors : std::vector<MonitorInfo>{}, 0);
    EXPECT_TRUE(windows) << windows.error().render();
    return windows ? *windows : std::vector<WindowInfo>{};
}

// Whether every pixel of the picture is the test windows' colour, opaque.
bool all_client_colour(const RgbaImage& picture) {
    for (std::size_t i = 0; i + 3 < picture.pixels.size(); i += 4) {
        if (picture.pixels[i] != kRed || picture.pixels[i + 1] != kGreen ||
            picture.pixels[i + 2] != kBlue || picture.pixels[i + 3] != 255) {
            return false;
        }
    }
    return !picture.pixels.empty();
}

// The middle of a client area, a little inside so no frame shows.
Region inner(const Region& client, std::uint32_t margin) {
    return Region{client.x + static_cast<std::int32_t>(margin),
                  client.y + static_cast<std::int32_t>(margin), client.width - 2 * margin,
                  client.height - 2 * margin};
}

TEST(WindowsMonitors, AreNumberedFromZeroWithOnePrimaryAtTheOrigin) {
    const auto monitors = make_platform()->enumerate_monitors();
    ASSERT_TRUE(monitors) << monitors.error().message;
    ASSERT_FALSE(monitors->empty());
    int primaries = 0;
    for (std::size_t i = 0; i < monitors->size(); ++i) {
        const MonitorInfo& m = (*monitors)[i];
        EXPECT_EQ(m.index, i);
        EXPECT_GT(m.width, 0u);
        EXPECT_GT(m.height, 0u);
        EXPECT_FALSE(m.name.empty());
        if (m.primary) {
            ++primaries;
            EXPECT_EQ(m.x, 0);
            EXPECT_EQ(m.y, 0);
        }
    }
    EXPECT_EQ(primaries, 1);
}

TEST(WindowsListing, ReadsAWindowWithItsExactTitleProcessAndFrame) {
    const std::wstring title = L"  Vantle \u00E9t\u00E9 \u65E5\u672C\u8A9E \U0001F600 ";
    TestWindow window(title, 60, 70, 360, 240);
    ASSERT_NE(window.handle(), nullptr);
    std::optional<WindowInfo> found;
    ASSERT_TRUE(
        eventually([&] { return (found = listed(windows_including_ours(), window.id())); }));
    EXPECT_EQ(found->title, utf8_from_wide(title));
    EXPECT_EQ(found->pid, GetCurrentProcessId());
    EXPECT_EQ(found->process, "platform_win_tests.exe");
    EXPECT_FALSE(found->minimized);
    ASSERT_TRUE(found->x && found->y && found->width && found->height);
    // The visible frame lies within the window rectangle (they are equal where
    // the compositor reports no invisible borders).
    RECT rect{};
    ASSERT_TRUE(GetWindowRect(window.handle(), &rect));
    EXPECT_GE(*found->x, rect.left);
    EXPECT_GE(*found->y, rect.top);
    EXPECT_LE(*found->x + static_cast<std::int64_t>(*found->width), rect.right);
    EXPECT_LE(*found->y + static_cast<std::int64_t>(*found->height), rect.bottom);
    EXPECT_EQ(found->monitor, 0u);
}

TEST(WindowsListing, LeavesOutThisProcessAndHiddenWindows) {
    TestWindow window(L"Vantle own window", 80, 80, 200, 150);
    ASSERT_NE(window.handle(), nullptr);
    ASSERT_TRUE(
        eventually([&] { return listed(windows_including_ours(), window.id()).has_value(); }));
    const auto windows = make_platform()->enumerate_windows();
    ASSERT_TRUE(windows) << windows.error().message;
    EXPECT_FALSE(listed(*windows, window.id()));

    ShowWindow(window.handle(), SW_HIDE);
    EXPECT_TRUE(eventually([&] { return !listed(windows_including_ours(), window.id()); }));
}

TEST(WindowsListing, TitlesOfOnlyWhiteSpaceAreLeftOut) {
    TestWindow window(L" \t\u3000 ", 90, 90, 200, 150);
    ASSERT_NE(window.handle(), nullptr);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(listed(windows_including_ours(), window.id()));
}

TEST(WindowsState, MinimizesRestoresAndTellsWhetherTheWindowExists) {
    const PlatformPtr platform = make_platform();
    auto window = std::make_unique<TestWindow>(L"Vantle state window", 100, 100, 240, 180);
    ASSERT_NE(window->handle(), nullptr);
    WindowInfo info;
    info.handle = window->id();
    info.title = "Vantle state window";
    EXPECT_TRUE(platform->window_exists(info));

    platform->minimize_window(info);
    ASSERT_TRUE(eventually([&] { return IsIconic(window->handle()) != 0; }));
    const auto minimized = listed(windows_including_ours(), window->id());
    ASSERT_TRUE(minimized);
    EXPECT_TRUE(minimized->minimized);
    EXPECT_FALSE(minimized->x || minimized->width || minimized->monitor);

    const CliStatus restored = platform->restore_window(info);
    ASSERT_TRUE(restored) << restored.error().message;
    EXPECT_FALSE(IsIconic(window->handle()));
    // A window that is not minimized comes back at once (well inside a second),
    // without waiting out the restore limit.
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(platform->restore_window(info));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    window.reset();
    EXPECT_FALSE(platform->window_exists(info));
    // Minimizing a window that has gone is still no failure, and at once.
    start = std::chrono::steady_clock::now();
    platform->minimize_window(info);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(platform->window_exists(info));
}

TEST(WindowsScreenCopy, ReadsAPaintedWindowPixelForPixel) {
    TestWindow window(L"Vantle colour window", 120, 110, 300, 200);
    ASSERT_NE(window.handle(), nullptr);
    const PlatformPtr platform = make_platform();
    const Region area = inner(window.client(), 8);
    CliResult<RgbaImage> picture;
    const bool painted = eventually([&] {
        picture = platform->capture_region(area, false);
        return picture && all_client_colour(*picture);
    });
    ASSERT_TRUE(picture) << picture.error().message;
    EXPECT_EQ(picture->width, area.width);
    EXPECT_EQ(picture->height, area.height);
    EXPECT_TRUE(painted) << "first pixel " << int{picture->pixels[0]} << ","
                         << int{picture->pixels[1]} << "," << int{picture->pixels[2]} << ","
                         << int{picture->pixels[3]};
}

TEST(WindowsScreenCopy, MonitorPicturesHaveTheMonitorsSize) {
    const PlatformPtr platform = make_platform();
    const auto monitors = platform->enumerate_monitors();
    ASSERT_TRUE(monitors && !monitors->empty());
    const auto picture = platform->capture_monitor(monitors->front(), false);
    ASSERT_TRUE(picture) << picture.error().message;
    EXPECT_EQ(picture->width, monitors->front().width);
    EXPECT_EQ(picture->height, monitors->front().height);
    EXPECT_EQ(picture->pixels.size(), std::size_t{picture->width} * picture->height * 4);

    MonitorInfo missing = monitors->back();
    missing.index = monitors->size();
    const auto refused = platform->capture_monitor(missing, false);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "there is no monitor " + std::to_string(monitors->size()));
}

TEST(WindowsScreenCopy, RegionsAreCutToTheDesktop) {
    const PlatformPtr platform = make_platform();
    const auto monitors = platform->enumerate_monitors();
    ASSERT_TRUE(monitors && !monitors->empty());
    // Hanging over the top-left corner of the desktop by 10 and 20 pixels.
    const auto corner = platform->capture_region(Region{-10, -20, 50, 60}, false);
    ASSERT_TRUE(corner) << corner.error().message;
    EXPECT_EQ(corner->width, 40u);
    EXPECT_EQ(corner->height, 40u);

    const auto outside = platform->capture_region(Region{-500, -500, 100, 100}, false);
    ASSERT_FALSE(outside);
    EXPECT_EQ(outside.error().message, "selection had no area");
}

TEST(WindowsScreenCopy, TheVersionIsOneTheAlphaRuleKnows) {
    const unsigned major = win::windows_major_version();
    EXPECT_TRUE(major == 7 || major == 8 || major == 10 || major == 11) << major;
}

// A pointer of one solid opaque colour, so where it lands is exact.
HCURSOR solid_cursor(int size, COLORREF colour) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP colour_bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    auto* pixels = static_cast<std::uint32_t*>(bits);
    const std::uint32_t bgra = 0xFF000000u | (std::uint32_t{GetRValue(colour)} << 16) |
                               (std::uint32_t{GetGValue(colour)} << 8) | GetBValue(colour);
    std::fill(pixels, pixels + size * size, bgra);
    HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
    ICONINFO icon{};
    icon.fIcon = FALSE;
    icon.hbmMask = mask;
    icon.hbmColor = colour_bitmap;
    HCURSOR cursor = CreateIconIndirect(&icon);
    DeleteObject(colour_bitmap);
    DeleteObject(mask);
    return cursor;
}

// A monochrome 16 x 16 pointer whose every pixel inverts the screen (AND 1, XOR 1).
HCURSOR inverting_cursor() {
    const std::vector<std::uint8_t> ones(16 * 16 / 8, 0xFF);
    return CreateCursor(GetModuleHandleW(nullptr), 0, 0, 16, 16, ones.data(), ones.data());
}

using Pixel = std::vector<int>;
const Pixel kClient = {kRed, kGreen, kBlue, 255};
const Pixel kPink = {0xF0, 0x10, 0x80, 255};

Pixel pixel(const RgbaImage& p, std::uint32_t col, std::uint32_t row) {
    const std::size_t i = (std::size_t{row} * p.width + col) * 4;
    return Pixel{p.pixels[i], p.pixels[i + 1], p.pixels[i + 2], p.pixels[i + 3]};
}

// A painted window with the pointer over it at (40, 30) of `area`, showing a
// cursor of the test's choosing (cursors of this process are the ones Wine
// lets the program read back).
class WindowsPointer : public ::testing::Test {
  protected:
    void SetUp() override {
        window_ = std::make_unique<TestWindow>(L"Vantle pointer window", 140, 130, 300, 220);
        ASSERT_NE(window_->handle(), nullptr);
        area_ = inner(window_->client(), 10);
        ASSERT_TRUE(eventually([&] {
            const auto picture = platform_->capture_region(area_, false);
            return picture && all_client_colour(*picture);
        }));
        pointer_x_ = area_.x + 40;
        pointer_y_ = area_.y + 30;
        ASSERT_TRUE(SetCursorPos(pointer_x_, pointer_y_));
    }
    void TearDown() override {
        if (window_ != nullptr) {
            window_->show_cursor(LoadCursorW(nullptr, kArrow));
        }
        for (HCURSOR cursor : made_) {
            DestroyCursor(cursor);
        }
    }

    HCURSOR use(HCURSOR cursor) {
        made_.push_back(cursor);
        window_->show_cursor(cursor);
        return cursor;
    }

    // Captures `region` with the pointer until `ready` holds for the picture
    // (the pointer's change reaches the system a little later), then returns it.
    CliResult<RgbaImage> capture_until(const Region& region,
                                       const std::function<bool(const RgbaImage&)>& ready) {
        CliResult<RgbaImage> picture;
        (void)eventually([&] {
            picture = platform_->capture_region(region, true);
            return picture && ready(*picture);
        });
        return picture;
    }

    PlatformPtr platform_ = make_platform();
    std::unique_ptr<TestWindow> window_;
    std::vector<HCURSOR> made_;
    Region area_;
    int pointer_x_ = 0;
    int pointer_y_ = 0;
};

TEST_F(WindowsPointer, IsDrawnAtItsHotspotOnlyWhenAsked) {
    use(solid_cursor(16, RGB(0xF0, 0x10, 0x80)));
    const auto drawn =
        capture_until(area_, [](const RgbaImage& p) { return pixel(p, 40, 30) == kPink; });
    ASSERT_TRUE(drawn) << drawn.error().message;
    EXPECT_EQ(pixel(*drawn, 40, 30), kPink);
    EXPECT_EQ(pixel(*drawn, 55, 45), kPink);
    // Just outside the pointer's square.
    EXPECT_EQ(pixel(*drawn, 39, 30), kClient);
    EXPECT_EQ(pixel(*drawn, 56, 30), kClient);
    EXPECT_EQ(pixel(*drawn, 40, 29), kClient);
    EXPECT_EQ(pixel(*drawn, 40, 46), kClient);

    const auto plain = platform_->capture_region(area_, false);
    ASSERT_TRUE(plain) << plain.error().message;
    EXPECT_TRUE(all_client_colour(*plain));

    // A picture the pointer does not reach stays as it was.
    const auto elsewhere =
        platform_->capture_region(Region{area_.x + 100, area_.y + 100, 40, 40}, true);
    ASSERT_TRUE(elsewhere) << elsewhere.error().message;
    EXPECT_TRUE(all_client_colour(*elsewhere));

    // A monitor picture places it by the monitor's origin.
    const auto monitors = platform_->enumerate_monitors();
    ASSERT_TRUE(monitors && !monitors->empty());
    const auto monitor = platform_->capture_monitor(monitors->front(), true);
    ASSERT_TRUE(monitor) << monitor.error().message;
    const auto at_x = static_cast<std::uint32_t>(pointer_x_ - monitors->front().x);
    const auto at_y = static_cast<std::uint32_t>(pointer_y_ - monitors->front().y);
    EXPECT_EQ(pixel(*monitor, at_x, at_y), kPink);
    EXPECT_EQ(pixel(*monitor, at_x + 15, at_y + 15), kPink);
    EXPECT_EQ(pixel(*monitor, at_x + 16, at_y), kClient);
}

TEST_F(WindowsPointer, StickingOutOfThePictureOnlyItsVisiblePartIsDrawn) {
    use(solid_cursor(16, RGB(0xF0, 0x10, 0x80)));
    // The picture starts 5 pixels right of and 7 below the pointer's corner.
    const Region cut{pointer_x_ + 5, pointer_y_ + 7, 40, 40};
    const auto drawn =
        capture_until(cut, [](const RgbaImage& p) { return pixel(p, 0, 0) == kPink; });
    ASSERT_TRUE(drawn) << drawn.error().message;
    EXPECT_EQ(pixel(*drawn, 0, 0), kPink);
    EXPECT_EQ(pixel(*drawn, 10, 8), kPink);
    EXPECT_EQ(pixel(*drawn, 11, 0), kClient);
    EXPECT_EQ(pixel(*drawn, 0, 9), kClient);
}

TEST_F(WindowsPointer, AMonochromePointerInvertsWhatIsUnderItAtItsOwnHeight) {
    use(inverting_cursor());
    const Pixel inverted = {255 - kRed, 255 - kGreen, 255 - kBlue, 255};
    const auto drawn =
        capture_until(area_, [&](const RgbaImage& p) { return pixel(p, 40, 30) == inverted; });
    ASSERT_TRUE(drawn) << drawn.error().message;
    EXPECT_EQ(pixel(*drawn, 40, 30), inverted);
    EXPECT_EQ(pixel(*drawn, 55, 45), inverted);
    // Its mask holds two masks stacked; the pointer is only half of it high.
    EXPECT_EQ(pixel(*drawn, 40, 46), kClient);
    EXPECT_EQ(pixel(*drawn, 56, 30), kClient);
}

TEST_F(WindowsPointer, AHiddenPointerLeavesThePictureAlone) {
    window_->show_cursor(nullptr);
    CURSORINFO info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(eventually([&] {
        return GetCursorInfo(&info) && (info.hCursor == nullptr || !(info.flags & CURSOR_SHOWING));
    }));
    const auto picture = platform_->capture_region(area_, true);
    ASSERT_TRUE(picture) << picture.error().message;
    EXPECT_TRUE(all_client_colour(*picture));
}

}  // namespace
}  // namespace vantle
