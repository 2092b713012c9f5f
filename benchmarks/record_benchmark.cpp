// The frame loop's own cost per tick at 1920x1080, with an encoder and a clock
// that do nothing: once for a picture that repeats (no copy at all) and once
// for a new picture every tick (one canvas copy per tick).
#include <benchmark/benchmark.h>

#include <cstring>

#include "record/recorder.h"

namespace {

using namespace vantle;

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;
constexpr std::uint64_t kTicks = 240;

FrameHandle make_frame(std::uint8_t shade) {
    auto frame = std::make_shared<Frame>();
    frame->width = kWidth;
    frame->height = kHeight;
    frame->pixels.assign(std::size_t{kWidth} * kHeight * 4, shade);
    return frame;
}

class AlternatingSource final : public FrameSource {
  public:
    AlternatingSource(FrameHandle a, FrameHandle b, bool alternate)
        : a_(std::move(a)), b_(std::move(b)), alternate_(alternate) {}
    FrameHandle latest_frame() override {
        flip_ = alternate_ && !flip_;
        return flip_ ? b_ : a_;
    }
    bool has_ended() override { return false; }
    FrameHandle wait_first_frame(std::chrono::milliseconds) override { return a_; }

  private:
    FrameHandle a_;
    FrameHandle b_;
    bool alternate_;
    bool flip_ = false;
};

class NullEncoder final : public VideoEncoder {
  public:
    CliStatus write_frame(const std::uint8_t* pixels, std::size_t, std::uint64_t) override {
        benchmark::DoNotOptimize(pixels);
        return {};
    }
    CliStatus finish() override { return {}; }
};

class NullClock final : public FrameClock {
  public:
    std::chrono::nanoseconds sleep_until(std::chrono::nanoseconds) override { return {}; }
};

void run_ticks(benchmark::State& state, bool new_picture_each_tick) {
    const FrameHandle a = make_frame(0x20);
    const FrameHandle b = make_frame(0x80);
    NullEncoder encoder;
    NullClock clock;
    const StopCheck never = [] { return false; };
    for (auto _ : state) {
        AlternatingSource source(a, b, new_picture_each_tick);
        auto outcome = run_frame_loop(source, encoder, a, 30, kTicks, never, clock);
        benchmark::DoNotOptimize(outcome);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<benchmark::IterationCount>(kTicks));
    state.SetLabel("items = ticks; canvas set-up amortised over 240 ticks");
}

void BM_FrameLoopRepeatedPicture(benchmark::State& state) {
    run_ticks(state, false);
}
void BM_FrameLoopNewPictureEachTick(benchmark::State& state) {
    run_ticks(state, true);
}

BENCHMARK(BM_FrameLoopRepeatedPicture)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameLoopNewPictureEachTick)->Unit(benchmark::kMillisecond);

}  // namespace
