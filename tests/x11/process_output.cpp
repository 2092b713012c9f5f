#include "x11/process_output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

namespace vantle::x11 {

void end_with_parent(pid_t parent) {
    // An aborted or killed test runs no destructors; the kernel then ends what
    // it started. The parent may have gone before the request took hold, which
    // the check catches. (The signal follows the thread that forked: every
    // start happens on the test's main thread.)
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
        ::_exit(127);
    }
}

CommandOutput run_command(const std::vector<std::string>& argv, bool keep_errors) {
    CommandOutput result;
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return result;
    }
    // A file, not a pipe: standard output is read to its end first, and a
    // program that fills a pipe of errors meanwhile would wait forever.
    int err_fd = -1;
    if (keep_errors) {
        char name[] = "/tmp/vantle-stderr-XXXXXX";
        err_fd = ::mkostemp(name, O_CLOEXEC);
        if (err_fd >= 0) {
            ::unlink(name);
        }
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        end_with_parent(parent);
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, 0);
        ::dup2(pipe_fds[1], 1);
        if (err_fd >= 0) {
            ::dup2(err_fd, 2);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    if (err_fd >= 0) {
        ::lseek(err_fd, 0, SEEK_SET);
        for (;;) {
            const ssize_t n = ::read(err_fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            result.err.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(err_fd);
    }
    return result;
}

VideoProbe probe_video(const std::filesystem::path& file) {
    VideoProbe probe;
    const CommandOutput out = run_command(
        {"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
         "stream=codec_name,width,height,nb_read_frames,r_frame_rate,start_time:format=duration",
         "-of", "json", file.string()});
    if (out.status != 0) {
        return probe;
    }
    const nlohmann::json doc = nlohmann::json::parse(out.out, nullptr, false);
    if (doc.is_discarded() || !doc.contains("streams") || doc["streams"].empty()) {
        return probe;
    }
    const nlohmann::json& s = doc["streams"][0];
    probe.codec = s.value("codec_name", "");
    probe.width = s.value("width", 0u);
    probe.height = s.value("height", 0u);
    probe.frames = std::stoull(s.value("nb_read_frames", "0"));
    probe.frame_rate = s.value("r_frame_rate", "");
    probe.start_time = std::stod(s.value("start_time", "-1"));
    if (doc.contains("format")) {
        probe.duration = std::stod(doc["format"].value("duration", "0"));
    }
    return probe;
}

}  // namespace vantle::x11
