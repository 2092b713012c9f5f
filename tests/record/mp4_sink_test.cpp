#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "record/mp4_sink.h"

namespace vantle {
namespace {

using A = SinkAttribute;

// A framework that records every call in order and refuses what the test asks.
struct FrameworkLog {
    std::vector<std::string> events;
    std::vector<SinkWriterPlan> plans;
    struct Sample {
        std::vector<std::uint8_t> pixels;
        std::uint64_t time, duration;
    };
    std::vector<Sample> samples;
};

class FakeWriter final : public SinkWriter {
  public:
    FakeWriter(FrameworkLog& log, bool finalize_fails)
        : log_(log), finalize_fails_(finalize_fails) {}
    ~FakeWriter() override { log_.events.push_back("release writer"); }
    Status write_sample(const std::uint8_t* pixels, std::size_t length, std::uint64_t time,
                        std::uint64_t duration) override {
        log_.samples.push_back({{pixels, pixels + length}, time, duration});
        return {};
    }
    Status finalize() override {
        log_.events.push_back("finalize");
        if (finalize_fails_) {
            return std::unexpected(Error("the disk is full (0x80070070)"));
        }
        return {};
    }

  private:
    FrameworkLog& log_;
    bool finalize_fails_;
};

class FakeFramework final : public SinkFramework {
  public:
    explicit FakeFramework(FrameworkLog& log) : log_(log) {}
    bool startup_fails = false;
    bool hardware_refuses = false;
    bool software_refuses = false;
    bool finalize_fails = false;

    Status startup() override {
        log_.events.push_back("startup");
        if (startup_fails) {
            return std::unexpected(Error("the class is not registered (0x80040154)"));
        }
        return {};
    }
    void shutdown() override { log_.events.push_back("shutdown"); }
    Result<std::unique_ptr<SinkWriter>> create_writer(const std::filesystem::path& path,
                                                      const SinkWriterPlan& plan) override {
        const std::string kind = plan.hardware ? "hardware" : "software";
        log_.events.push_back("create " + kind + " " + path.filename().string());
        log_.plans.push_back(plan);
        if (plan.hardware ? hardware_refuses : software_refuses) {
            return std::unexpected(Error(kind + " said no (0x80070057)").context(kind + " cause"));
        }
        return std::make_unique<FakeWriter>(log_, finalize_fails);
    }
    void remove_file(const std::filesystem::path& path) override {
        log_.events.push_back("remove " + path.filename().string());
    }
    void log_info(std::string_view line) override {
        log_.events.push_back("info " + std::string(line));
    }

  private:
    FrameworkLog& log_;
};

struct Opened {
    FrameworkLog log;
    Result<std::unique_ptr<VideoEncoder>> encoder = std::unexpected(Error("not opened"));
};

std::unique_ptr<Opened> open_with(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                  const std::function<void(FakeFramework&)>& setup = {}) {
    auto opened = std::make_unique<Opened>();
    auto framework = std::make_shared<FakeFramework>(opened->log);
    if (setup) {
        setup(*framework);
    }
    opened->encoder = open_sink_encoder(framework, "clip.mp4.vantle-tmp", width, height, fps);
    return opened;
}

TEST(Mp4Sink, PlanSetsTheAttributesInOrderWithTheirValues) {
    const SinkWriterPlan hardware = sink_writer_plan(1920, 1080, 30, true);
    EXPECT_TRUE(hardware.hardware);
    EXPECT_EQ(hardware.writer, (std::vector<SinkSetting>{
                                   {A::kEnableHardwareTransforms, std::uint32_t{1}},
                                   {A::kContainerType, SinkGuid::kMpeg4Container},
                               }));
    const std::uint64_t size = (std::uint64_t{1920} << 32) | 1080;
    const std::uint64_t rate = (std::uint64_t{30} << 32) | 1;
    const std::uint64_t square = (std::uint64_t{1} << 32) | 1;
    EXPECT_EQ(hardware.output, (std::vector<SinkSetting>{
                                   {A::kMajorType, SinkGuid::kVideo},
                                   {A::kSubtype, SinkGuid::kH264},
                                   {A::kAverageBitrate, std::uint32_t{6'220'800}},
                                   {A::kInterlaceMode, std::uint32_t{2}},
                                   {A::kFrameSize, size},
                                   {A::kFrameRate, rate},
                                   {A::kPixelAspectRatio, square},
                               }));
    EXPECT_EQ(hardware.input, (std::vector<SinkSetting>{
                                  {A::kMajorType, SinkGuid::kVideo},
                                  {A::kSubtype, SinkGuid::kRgb32},
                                  {A::kInterlaceMode, std::uint32_t{2}},
                                  {A::kFrameSize, size},
                                  {A::kFrameRate, rate},
                                  {A::kPixelAspectRatio, square},
                                  {A::kDefaultStride, std::uint32_t{1920 * 4}},
                              }));

    const SinkWriterPlan software = sink_writer_plan(2, 2, 1, false);
    EXPECT_EQ(software.writer.front(),
              (SinkSetting{A::kEnableHardwareTransforms, std::uint32_t{0}}));
    EXPECT_EQ(software.output[2], (SinkSetting{A::kAverageBitrate, std::uint32_t{1'000'000}}));
    EXPECT_EQ(software.output[5], (SinkSetting{A::kFrameRate, (std::uint64_t{1} << 32) | 1}));
}

TEST(Mp4Sink, OpeningTriesHardwareThenSoftwareAndReportsOnlyTheSoftwareCause) {
    struct Case {
        const char* what;
        bool hardware_refuses, software_refuses;
        std::vector<std::string> events;
        std::optional<std::string> error;
    } cases[] = {
        {"hardware opens", false, false, {"startup", "create hardware clip.mp4.vantle-tmp"}, {}},
        {"hardware refuses",
         true,
         false,
         {"startup", "create hardware clip.mp4.vantle-tmp",
          "info the hardware encoder would not take it (hardware cause); using the software one",
          "remove clip.mp4.vantle-tmp", "create software clip.mp4.vantle-tmp"},
         {}},
        {"both refuse",
         true,
         true,
         {"startup", "create hardware clip.mp4.vantle-tmp",
          "info the hardware encoder would not take it (hardware cause); using the software one",
          "remove clip.mp4.vantle-tmp", "create software clip.mp4.vantle-tmp",
          "remove clip.mp4.vantle-tmp", "shutdown"},
         "the H.264 encoder refused 640x480 at 30 fps: software cause: software said no "
         "(0x80070057)"},
    };
    for (const Case& c : cases) {
        const auto opened = open_with(640, 480, 30, [&c](FakeFramework& framework) {
            framework.hardware_refuses = c.hardware_refuses;
            framework.software_refuses = c.software_refuses;
        });
        EXPECT_EQ(opened->log.events, c.events) << c.what;
        if (c.error) {
            ASSERT_FALSE(opened->encoder) << c.what;
            EXPECT_EQ(opened->encoder.error().render(), *c.error);
        } else {
            EXPECT_TRUE(opened->encoder) << c.what;
        }
    }
}

TEST(Mp4Sink, OddSizesAndAFailedStartupNeverReachAWriter) {
    const auto odd = open_with(1921, 1080, 30);
    ASSERT_FALSE(odd->encoder);
    EXPECT_EQ(odd->encoder.error().render(), "H.264 needs even dimensions, not 1921x1080");
    EXPECT_TRUE(odd->log.events.empty());

    const auto unstarted =
        open_with(64, 48, 30, [](FakeFramework& framework) { framework.startup_fails = true; });
    ASSERT_FALSE(unstarted->encoder);
    EXPECT_EQ(unstarted->encoder.error().render(),
              "Media Foundation would not start (a Windows N edition needs the Media Feature "
              "Pack): the class is not registered (0x80040154)");
    EXPECT_EQ(unstarted->log.events, (std::vector<std::string>{"startup"}));
}

TEST(Mp4Sink, FramesAreTimedByIndexAndTheFileIsFinishedOnce) {
    auto opened = open_with(2, 2, 30);
    ASSERT_TRUE(opened->encoder);
    VideoEncoder& encoder = **opened->encoder;
    const std::vector<std::uint8_t> canvas{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_TRUE(encoder.write_frame(canvas.data(), canvas.size(), 0));
    EXPECT_TRUE(encoder.write_frame(canvas.data(), canvas.size(), 30));
    const CliStatus short_write = encoder.write_frame(canvas.data(), canvas.size() - 1, 31);
    ASSERT_FALSE(short_write);
    EXPECT_EQ(short_write.error().message, "a frame of 15 bytes for a 16-byte canvas");
    EXPECT_EQ(short_write.error().exit_code, ExitCode::kFailed);

    ASSERT_EQ(opened->log.samples.size(), 2u);
    EXPECT_EQ(opened->log.samples[0].time, 0u);
    EXPECT_EQ(opened->log.samples[0].duration, 333'333u);
    EXPECT_EQ(opened->log.samples[1].time, 9'999'990u);
    EXPECT_EQ(opened->log.samples[1].pixels, canvas);

    EXPECT_TRUE(encoder.finish());
    EXPECT_TRUE(encoder.finish());
    const CliStatus late = encoder.write_frame(canvas.data(), canvas.size(), 32);
    ASSERT_FALSE(late);
    EXPECT_EQ(late.error().message, "the file is already closed");

    opened->encoder->reset();
    EXPECT_EQ(opened->log.events,
              (std::vector<std::string>{"startup", "create hardware clip.mp4.vantle-tmp",
                                        "finalize", "release writer", "shutdown"}));
}

TEST(Mp4Sink, AnUnfinishedEncoderReleasesWithoutFinalizingAndAFailedFinalizeIsReported) {
    auto abandoned = open_with(2, 2, 30);
    ASSERT_TRUE(abandoned->encoder);
    abandoned->encoder->reset();
    EXPECT_EQ(abandoned->log.events,
              (std::vector<std::string>{"startup", "create hardware clip.mp4.vantle-tmp",
                                        "release writer", "shutdown"}));

    auto full =
        open_with(2, 2, 30, [](FakeFramework& framework) { framework.finalize_fails = true; });
    ASSERT_TRUE(full->encoder);
    const CliStatus finished = (*full->encoder)->finish();
    ASSERT_FALSE(finished);
    EXPECT_EQ(finished.error().message, "the disk is full (0x80070070)");
    EXPECT_TRUE((*full->encoder)->finish());  // nothing more to do
    full->encoder->reset();
    EXPECT_EQ(full->log.events,
              (std::vector<std::string>{"startup", "create hardware clip.mp4.vantle-tmp",
                                        "finalize", "release writer", "shutdown"}));
}

}  // namespace
}  // namespace vantle
