#include <windows.h>

#include <d3d11.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fakes/temp_directory.h"
#include "platform/win/com_ptr.h"
#include "platform/win/mf_encoder.h"
#include "platform/win/staging_copy.h"
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

// Windows N and KN editions, and Windows Server without its media feature, have
// no Media Foundation. The windows preset runs this case a second time with
// Wine's overrides taking mfplat.dll and mfreadwrite.dll away and
// VANTLE_WITHOUT_MEDIA_FOUNDATION set; the rest of the program starts there,
// and a recording's encoder says what is missing.
TEST_F(MediaWin, WithoutMediaFoundationTheEncoderAsksForTheMediaFeaturePack) {
    if (std::getenv("VANTLE_WITHOUT_MEDIA_FOUNDATION") == nullptr) {
        GTEST_SKIP() << "Media Foundation is there in this run; the windows preset's "
                        "media_win_tests_without_media_foundation takes it away";
    }
    const HMODULE platform = LoadLibraryExW(L"mfplat.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_EQ(platform, nullptr) << "mfplat.dll is still there: the overrides did not apply";
    for (int attempt = 0; attempt < 2; ++attempt) {  // the second from what was resolved once
        const CliResult<std::unique_ptr<VideoEncoder>> encoder =
            mf::open_encoder(folder_ / "clip.mp4.vantle-tmp", 640, 480, 30);
        ASSERT_FALSE(encoder);
        EXPECT_EQ(encoder.error(),
                  CliError::failed("Media Foundation would not start (a Windows N edition needs "
                                   "the Media Feature Pack): mfplat.dll: " +
                                   os_error_text(ERROR_MOD_NOT_FOUND)));
        EXPECT_TRUE(files().empty());
    }
}

// The byte a texture holds at (x, y), channel c.
std::uint8_t texel(std::uint32_t x, std::uint32_t y, std::uint32_t c) {
    return static_cast<std::uint8_t>(x * 7 + y * 13 + c * 61);
}

void expect_rect(const FrameHandle& frame, const CropRect& rect) {
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(frame->width, rect.width);
    ASSERT_EQ(frame->height, rect.height);
    ASSERT_EQ(frame->pixels.size(), std::size_t{rect.width} * rect.height * 4);
    for (std::uint32_t y = 0; y < rect.height; ++y) {
        for (std::uint32_t x = 0; x < rect.width; ++x) {
            for (std::uint32_t c = 0; c < 4; ++c) {
                ASSERT_EQ(frame->pixels[(std::size_t{y} * rect.width + x) * 4 + c],
                          texel(x + static_cast<std::uint32_t>(rect.x),
                                y + static_cast<std::uint32_t>(rect.y), c))
                    << x << "," << y << "," << c;
            }
        }
    }
}

// The copy every captured frame goes through, on the system's own Direct3D 11
// (Wine's included): a rectangle of a texture, read back at the driver's row
// pitch into a tight frame, through a staging texture kept while the size holds.
TEST_F(MediaWin, AStagingCopyOfATextureRectangleIsATightFrameThroughACachedTexture) {
    win::ComPtr<ID3D11Device> device;
    win::ComPtr<ID3D11DeviceContext> context;
    for (const D3D_DRIVER_TYPE driver : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
        if (SUCCEEDED(D3D11CreateDevice(nullptr, driver, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                        nullptr, 0, D3D11_SDK_VERSION, device.put(), nullptr,
                                        context.put())) &&
            device && context) {
            break;
        }
    }
    if (!device || !context) {
        GTEST_SKIP() << "no Direct3D 11 device on this system";
    }
    constexpr std::uint32_t kWidth = 40;
    constexpr std::uint32_t kHeight = 6;
    std::vector<std::uint8_t> texels(std::size_t{kWidth} * kHeight * 4);
    for (std::uint32_t y = 0; y < kHeight; ++y) {
        for (std::uint32_t x = 0; x < kWidth; ++x) {
            for (std::uint32_t c = 0; c < 4; ++c) {
                texels[(std::size_t{y} * kWidth + x) * 4 + c] = texel(x, y, c);
            }
        }
    }
    D3D11_TEXTURE2D_DESC description{};
    description.Width = kWidth;
    description.Height = kHeight;
    description.MipLevels = 1;
    description.ArraySize = 1;
    description.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    description.SampleDesc.Count = 1;
    description.Usage = D3D11_USAGE_DEFAULT;
    description.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    const D3D11_SUBRESOURCE_DATA initial{texels.data(), kWidth * 4, 0};
    win::ComPtr<ID3D11Texture2D> texture;
    ASSERT_TRUE(SUCCEEDED(device->CreateTexture2D(&description, &initial, texture.put())));

    wgc::StagingCache cache;
    const CropRect corner{30, 2, 10, 3};
    Result<FrameHandle> frame = wgc::copy_texture_rect(*device.get(), *context.get(), cache,
                                                       *texture.get(), description, corner);
    ASSERT_TRUE(frame) << frame.error().render();
    expect_rect(*frame, corner);
    ID3D11Texture2D* const kept = cache.texture.get();

    const CropRect same_size{0, 0, 10, 3};
    frame = wgc::copy_texture_rect(*device.get(), *context.get(), cache, *texture.get(),
                                   description, same_size);
    ASSERT_TRUE(frame) << frame.error().render();
    expect_rect(*frame, same_size);
    EXPECT_EQ(cache.texture.get(), kept);

    const CropRect whole{0, 0, kWidth, kHeight};
    frame = wgc::copy_texture_rect(*device.get(), *context.get(), cache, *texture.get(),
                                   description, whole);
    ASSERT_TRUE(frame) << frame.error().render();
    expect_rect(*frame, whole);
    EXPECT_EQ(cache.size, (SurfaceSize{kWidth, kHeight}));
}

}  // namespace
}  // namespace vantle
