// Still captures and a recording source on a private 1920x1080 Xvfb, through
// the X11 platform (PNG encoding not included).
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "platform/make_platform.h"
#include "x11/x_server.h"

namespace vantle::x11 {
namespace {

struct Desktop {
    std::unique_ptr<XServer> server = XServer::start("1920x1080x24");
    std::optional<XServer::Window> backdrop =
        server ? server->open_window({"--title", "backdrop", "--color", "336699", "--size",
                                      "1920x1080", "--override-redirect"})
               : std::nullopt;
    std::optional<XServer::Window> window =
        server ? server->open_window({"--title", "bench", "--color", "CC8844", "--pos", "100,100",
                                      "--size", "800x600"})
               : std::nullopt;
    // A window of a responsive program half covered by another: its capture
    // waits for the program to repaint what was covered.
    std::optional<XServer::Window> covered =
        server ? server->open_window({"--title", "covered", "--color", "22AA44", "--pos",
                                      "1000,100", "--size", "800x600"})
               : std::nullopt;
    std::optional<XServer::Window> cover =
        server ? server->open_window({"--title", "cover", "--color", "1122CC", "--pos", "1400,400",
                                      "--size", "500x500"})
               : std::nullopt;
    PlatformPtr platform = make_platform();
};

Desktop& desktop() {
    static Desktop d;
    return d;
}

void BM_CaptureMonitor1080p(benchmark::State& state) {
    Desktop& d = desktop();
    MonitorInfo monitor;
    for (auto _ : state) {
        auto picture = d.platform->capture_monitor(monitor, state.range(0) != 0);
        if (!picture) {
            state.SkipWithError(picture.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(picture->pixels.data());
    }
}
BENCHMARK(BM_CaptureMonitor1080p)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_CaptureRegion(benchmark::State& state) {
    Desktop& d = desktop();
    for (auto _ : state) {
        auto picture = d.platform->capture_region(Region{100, 100, 800, 600}, false);
        if (!picture) {
            state.SkipWithError(picture.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(picture->pixels.data());
    }
}
BENCHMARK(BM_CaptureRegion)->Unit(benchmark::kMillisecond);

// Captures one of the desktop's windows, named by its member.
void capture_window(benchmark::State& state, std::optional<XServer::Window> Desktop::*which) {
    Desktop& d = desktop();
    WindowInfo info;
    info.handle = (d.*which) ? (d.*which)->id : 0;
    for (auto _ : state) {
        auto picture = d.platform->capture_window(info, false);
        if (!picture) {
            state.SkipWithError(picture.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(picture->pixels.data());
    }
}

void BM_CaptureWindow(benchmark::State& state) {
    capture_window(state, &Desktop::window);
}
BENCHMARK(BM_CaptureWindow)->Unit(benchmark::kMillisecond);

void BM_CaptureCoveredWindow(benchmark::State& state) {
    capture_window(state, &Desktop::covered);
}
BENCHMARK(BM_CaptureCoveredWindow)->Unit(benchmark::kMillisecond);

// A monitor source with the pointer drawn in copies on every tick: the count of
// distinct frames per second it publishes.
void BM_MonitorSourceFrames(benchmark::State& state) {
    Desktop& d = desktop();
    MonitorInfo monitor;
    monitor.width = 1920;
    monitor.height = 1080;
    for (auto _ : state) {
        auto source = d.platform->start_recording_source(RecordMonitor{monitor}, true);
        if (!source) {
            state.SkipWithError(source.error().message.c_str());
            break;
        }
        FrameHandle last = (*source)->wait_first_frame(std::chrono::seconds(3));
        std::size_t distinct = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            FrameHandle f = (*source)->latest_frame();
            if (f != last) {
                ++distinct;
                last = f;
            }
        }
        state.counters["frames_per_second"] = static_cast<double>(distinct);
    }
}
BENCHMARK(BM_MonitorSourceFrames)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantle::x11
