#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fakes/temp_directory.h"
#include "platform/win/mf_encoder.h"
#include "platform/win/wgc.h"
#include "support/os_error.h"

namespace vantle {
namespace {

bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The program joins the multithreaded apartment before it captures or
// encodes; so does each test here.
class MediaWin : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        folder_ = testing::make_temp_directory("vantle-media-win");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        CoUninitialize();
    }

    [[nodiscard]] std::vector<std::filesystem::path> files() const {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            found.push_back(entry.path());
        }
        return found;
    }

    std::filesystem::path folder_;
};

// A plain top-level window of this process to point the capture at.
class OwnWindow {
  public:
    OwnWindow() {
        WNDCLASSW window_class{};
        window_class.lpfnWndProc = DefWindowProcW;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.lpszClassName = L"vantle-media-win-test";
        RegisterClassW(&window_class);
        handle_ = CreateWindowExW(0, window_class.lpszClassName, L"vantle capture test",
                                  WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 320, 240, nullptr,
                                  nullptr, window_class.hInstance, nullptr);
    }
    OwnWindow(const OwnWindow&) = delete;
    OwnWindow& operator=(const OwnWindow&) = delete;
    ~OwnWindow() {
        if (handle_ != nullptr) {
            DestroyWindow(handle_);
        }
    }
    [[nodiscard]] WindowInfo info() const {
        WindowInfo window;
        window.handle = reinterpret_cast<std::uintptr_t>(handle_);
        window.title = "vantle capture test";
        return window;
    }

  private:
    HWND handle_ = nullptr;
};

TEST_F(MediaWin, WithoutTheCaptureServiceEveryCaptureSaysSo) {
    if (!running_under_wine()) {
        GTEST_SKIP() << "this system has the capture service";
    }
    const OwnWindow window;
    const CliResult<RgbaImage> picture = wgc::capture_window(window.info(), true);
    ASSERT_FALSE(picture);
    EXPECT_EQ(picture.error(),
              CliError::failed("Windows.Graphics.Capture is not available on this system"));

    MonitorInfo monitor;
    monitor.width = 1024;
    monitor.height = 768;
    monitor.primary = true;
    const RecordTarget targets[] = {
        RecordWindow{window.info()},
        RecordMonitor{monitor},
        RecordRegion{Region{10, 20, 300, 200}, monitor},
    };
    for (const RecordTarget& target : targets) {
        const CliResult<std::unique_ptr<FrameSource>> source =
            wgc::start_recording_source(target, false);
        ASSERT_FALSE(source) << target.index();
        EXPECT_EQ(source.error(),
                  CliError::failed("Windows.Graphics.Capture is not available on this system"));
    }
}

TEST_F(MediaWin, AnOddSizeIsRefusedBeforeAnythingIsWritten) {
    const CliResult<std::unique_ptr<VideoEncoder>> encoder =
        mf::open_encoder(folder_ / "odd.mp4", 1921, 1080, 30);
    ASSERT_FALSE(encoder);
    EXPECT_EQ(encoder.error(), CliError::failed("H.264 needs even dimensions, not 1921x1080"));
    EXPECT_TRUE(files().empty());
}

TEST_F(MediaWin, TheWriterEitherRefusesWithTheSoftwareCauseAndNoFileOrWritesAnMp4) {
    const std::filesystem::path path = folder_ / "clip.mp4.vantle-tmp";
    CliResult<std::unique_ptr<VideoEncoder>> encoder = mf::open_encoder(path, 64, 48, 30);
    if (running_under_wine()) {
        // Wine's sink writer has no MPEG-4 sink: both attempts are refused with
        // E_INVALIDARG and only the software attempt's error is reported.
        ASSERT_FALSE(encoder);
        EXPECT_EQ(encoder.error(),
                  CliError::failed("the H.264 encoder refused 64x48 at 30 fps: " +
                                   os_error_text(static_cast<std::uint32_t>(E_INVALIDARG))));
        EXPECT_TRUE(files().empty());
        return;
    }
    ASSERT_TRUE(encoder) << encoder.error().message;
    const std::vector<std::uint8_t> canvas(64 * 48 * 4, 0x80);
    for (std::uint64_t i = 0; i < 3; ++i) {
        ASSERT_TRUE((*encoder)->write_frame(canvas.data(), canvas.size(), i));
    }
    ASSERT_TRUE((*encoder)->finish());
    encoder->reset();
    std::ifstream file(path, std::ios::binary);
    std::string head(8, '\0');
    file.read(head.data(), 8);
    EXPECT_EQ(head.substr(4), "ftyp");
}

}  // namespace
}  // namespace vantle
