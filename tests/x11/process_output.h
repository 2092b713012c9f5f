#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vantle::x11 {

struct CommandOutput {
    int status = -1;  // the exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;  // only when asked for
};

// Called in a child right after fork: the child is killed when `parent` (the
// test) ends, however it ends.
void end_with_parent(pid_t parent);

// Runs a program (no shell) with standard input from /dev/null and returns what
// it wrote to standard output; standard error is passed through, or kept in
// `err` with `keep_errors`.
[[nodiscard]] CommandOutput run_command(const std::vector<std::string>& argv,
                                        bool keep_errors = false);

// What ffprobe says of a video file's first video stream; zeros and empty
// texts when it cannot read one.
struct VideoProbe {
    std::string codec;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint64_t frames = 0;  // counted by decoding
    std::string frame_rate;    // r_frame_rate, such as "30/1"
    double duration = 0;       // of the container, seconds
    double start_time = -1;
};

[[nodiscard]] VideoProbe probe_video(const std::filesystem::path& file);

}  // namespace vantle::x11
