// The window listing on a private 1280x800 Xvfb with openbox and 100 to 1000
// windows of one client: the Platform call, and `vantle-cli windows --json` as
// a script runs it (process start included). VANTLE_LIST_CLI names another
// build of the program to time instead of this one's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/make_platform.h"
#include "x11/x_server.h"

extern char** environ;

namespace vantle::x11 {
namespace {

struct Desktop {
    std::unique_ptr<XServer> server = XServer::start("1280x800x24");
    bool managed = server && server->start_window_manager();
    // Windows are added crowd by crowd as the benchmarks ask for more.
    std::vector<XServer::Crowd> crowds;
    std::size_t windows = 0;
    PlatformPtr platform = make_platform();

    bool grow_to(std::size_t count) {
        if (!managed) {
            return false;
        }
        if (windows < count) {
            std::optional<XServer::Crowd> crowd =
                server->open_crowd(count - windows, "crowd" + std::to_string(crowds.size()));
            if (!crowd) {
                return false;
            }
            crowds.push_back(std::move(*crowd));
            windows = count;
        }
        return windows == count;
    }
};

Desktop& desktop() {
    static Desktop d;
    return d;
}

using Clock = std::chrono::steady_clock;

void per_window(benchmark::State& state, std::size_t count, Clock::duration took) {
    state.counters["windows"] = static_cast<double>(count);
    state.counters["ms_per_window"] =
        std::chrono::duration<double, std::milli>(took).count() /
        static_cast<double>(std::max<std::int64_t>(state.iterations(), 1)) /
        static_cast<double>(count);
}

void BM_ListWindowsPlatform(benchmark::State& state) {
    Desktop& d = desktop();
    const auto count = static_cast<std::size_t>(state.range(0));
    if (!d.grow_to(count)) {
        state.SkipWithError("the desktop with its windows did not come up");
        return;
    }
    const auto started = Clock::now();
    for (auto _ : state) {
        auto listed = d.platform->enumerate_windows();
        if (!listed || listed->size() < count) {
            state.SkipWithError(listed ? "windows are missing from the listing"
                                       : listed.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(listed->data());
    }
    per_window(state, count, Clock::now() - started);
}

// `vantle-cli windows --json` to its exit, its output thrown away.
bool run_cli(const char* cli) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* const argv[] = {const_cast<char*>(cli), const_cast<char*>("windows"),
                          const_cast<char*>("--json"), nullptr};
    pid_t pid = 0;
    const int started = ::posix_spawn(&pid, cli, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return started == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

void BM_ListWindowsCli(benchmark::State& state) {
    Desktop& d = desktop();
    const auto count = static_cast<std::size_t>(state.range(0));
    if (!d.grow_to(count)) {
        state.SkipWithError("the desktop with its windows did not come up");
        return;
    }
    const char* other = std::getenv("VANTLE_LIST_CLI");
    const char* cli = other != nullptr && *other != '\0' ? other : VANTLE_CLI;
    const auto started = Clock::now();
    for (auto _ : state) {
        if (!run_cli(cli)) {
            state.SkipWithError("vantle-cli windows --json failed");
            break;
        }
    }
    per_window(state, count, Clock::now() - started);
}

// Interleaved, so that both see the same windows and the same load.
BENCHMARK(BM_ListWindowsPlatform)->Arg(100)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListWindowsCli)->Arg(100)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListWindowsPlatform)->Arg(300)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListWindowsCli)->Arg(300)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListWindowsPlatform)->Arg(600)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListWindowsCli)->Arg(600)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListWindowsPlatform)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListWindowsCli)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantle::x11
