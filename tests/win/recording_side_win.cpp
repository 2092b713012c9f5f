// vantle-recording-side: stands in for a running recording of another process.
// It creates the recording's stop and done events the way a recording does
// (named, manual reset, created clear), prints "waiting" once both exist, waits
// for stop, prints "stopped", waits the given milliseconds as a recording does
// while it finishes its file, prints "done" and then signals done.
//
//   vantle-recording-side.exe <id> <finish-ms>
//
// The test can then tell from the stopper's output whether it waited for done.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: vantle-recording-side.exe <id> <finish-ms>\n", stderr);
        return 64;
    }
    // Line feeds stay line feeds, as a host reader expects them.
    _setmode(_fileno(stdout), _O_BINARY);
    const std::string id = argv[1];
    const std::wstring stem =
        L"Local\\invalid.vantle.app.record." + std::wstring(id.begin(), id.end());
    const HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, (stem + L".stop").c_str());
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, (stem + L".done").c_str());
    if (stop == nullptr || done == nullptr) {
        std::fprintf(stderr, "CreateEventW failed: %lu\n", GetLastError());
        return 1;
    }
    std::puts("waiting");
    std::fflush(stdout);
    if (WaitForSingleObject(stop, 120000) != WAIT_OBJECT_0) {
        std::fputs("nobody asked to stop\n", stderr);
        return 1;
    }
    std::puts("stopped");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
    std::puts("done");
    std::fflush(stdout);
    SetEvent(done);
    CloseHandle(stop);
    CloseHandle(done);
    return 0;
}
