#include "platform/make_platform.h"

namespace vantle {

namespace {

// A build for a system without a desktop implementation: every operation fails
// and says what is missing, so the grammar and the outputs still work.
class UnsupportedPlatform final : public Platform {
  public:
    CliResult<std::vector<MonitorInfo>> enumerate_monitors() override { return fail(); }
    CliResult<std::vector<WindowInfo>> enumerate_windows() override { return fail(); }
    CliResult<RgbaImage> capture_window(const WindowInfo&, bool) override { return fail(); }
    CliResult<RgbaImage> capture_monitor(const MonitorInfo&, bool) override { return fail(); }
    CliResult<RgbaImage> capture_region(const Region&, bool) override { return fail(); }
    CliStatus restore_window(const WindowInfo&) override { return fail(); }
    void minimize_window(const WindowInfo&) override {}
    bool window_exists(const WindowInfo&) override { return false; }
    CliResult<std::unique_ptr<FrameSource>> start_recording_source(const RecordTarget&,
                                                                   bool) override {
        return fail();
    }
    CliResult<std::unique_ptr<VideoEncoder>> open_encoder(const std::filesystem::path&,
                                                          std::uint32_t, std::uint32_t,
                                                          std::uint32_t) override {
        return fail();
    }

  private:
    static std::unexpected<CliError> fail() {
        return std::unexpected(CliError::failed(
            "this build has no desktop support: it was built without a platform layer for this "
            "system"));
    }
};

}  // namespace

PlatformPtr make_platform() {
    return std::make_shared<UnsupportedPlatform>();
}

}  // namespace vantle
