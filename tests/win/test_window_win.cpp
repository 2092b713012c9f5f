// vantle-test-window: opens top-level windows as a test asks, so the desktop
// tests under Wine have windows of known title, colour and place to find.
//
//   vantle-test-window.exe [--hang] (--window <title> --color RRGGBB --rect x,y,w,h
//                                    [--minimized])...
//
// The arguments are read as UTF-16 from the command line, so a title reaches
// the window exactly as the test wrote it in UTF-8. Once every window is shown
// and painted it prints one line "ready" and then "window <n> <hwnd> <pid>" per
// window (hwnd in hexadecimal); afterwards "state <n> minimized|restored" each
// time a window is minimized or brought back. A line "raise <n>" on standard
// input puts window n on top of the others, as a click on it would, and is
// answered "raised <n>" once done. It ends when standard input ends or on
// "quit". With --hang it stops handling messages once it is ready, as a
// hung program does: its windows stay as they are and every message sent to
// them waits.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct WindowRequest {
    std::wstring title;
    COLORREF color = 0;
    int x = 0;
    int y = 0;
    int width = 100;
    int height = 100;
    bool minimized = false;
};

std::vector<HWND> windows;
DWORD main_thread = 0;
// Posted to the main thread, which owns the windows: raise window wparam.
constexpr UINT kRaise = WM_APP + 1;
HANDLE input_ended = nullptr;

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

int index_of(HWND hwnd) {
    for (std::size_t i = 0; i < windows.size(); ++i) {
        if (windows[i] == hwnd) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_SIZE && index_of(hwnd) >= 0) {
        if (wparam == SIZE_MINIMIZED) {
            say("state %d minimized\n", index_of(hwnd));
        } else if (wparam == SIZE_RESTORED) {
            say("state %d restored\n", index_of(hwnd));
        }
    }
    if (message == WM_CLOSE) {
        return 0;  // only the test ends these windows
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

// Standard input ends or says quit: the message loop is told to end.
DWORD WINAPI watch_input(void*) {
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        if (std::strncmp(line, "quit", 4) == 0) {
            break;
        }
        unsigned index = 0;
        if (std::sscanf(line, "raise %u", &index) == 1) {
            PostThreadMessageW(main_thread, kRaise, index, 0);
        }
    }
    SetEvent(input_ended);
    PostThreadMessageW(main_thread, WM_QUIT, 0, 0);
    return 0;
}

bool parse_rect(const wchar_t* text, WindowRequest& request) {
    return std::swscanf(text, L"%d,%d,%d,%d", &request.x, &request.y, &request.width,
                        &request.height) == 4;
}

[[noreturn]] void usage() {
    std::fputs(
        "usage: vantle-test-window.exe [--hang] (--window <title> --color RRGGBB "
        "--rect x,y,w,h [--minimized])...\n",
        stderr);
    std::exit(64);
}

}  // namespace

int main() {
    // Line feeds stay line feeds, as a host reader expects them.
    _setmode(_fileno(stdout), _O_BINARY);
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) {
        return 1;
    }
    std::vector<WindowRequest> requests;
    bool hang = false;
    for (int i = 1; i < count; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--hang" && requests.empty()) {
            hang = true;
        } else if (option == L"--window" && i + 1 < count) {
            requests.push_back(WindowRequest{});
            requests.back().title = argv[++i];
        } else if (requests.empty()) {
            usage();
        } else if (option == L"--color" && i + 1 < count) {
            const unsigned long value = std::wcstoul(argv[++i], nullptr, 16);
            // COLORREF is 0x00BBGGRR.
            requests.back().color = static_cast<COLORREF>(
                ((value & 0xFF) << 16) | (value & 0xFF00) | ((value >> 16) & 0xFF));
        } else if (option == L"--rect" && i + 1 < count) {
            if (!parse_rect(argv[++i], requests.back())) {
                usage();
            }
        } else if (option == L"--minimized") {
            requests.back().minimized = true;
        } else {
            usage();
        }
    }
    if (requests.empty()) {
        usage();
    }

    main_thread = GetCurrentThreadId();
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const WindowRequest& request = requests[i];
        // A class per window: its background brush is the window's colour, so
        // the default erase paints the whole client area and nothing else does.
        const std::wstring class_name = L"VantleTestWindow" + std::to_wstring(i);
        WNDCLASSW window_class{};
        window_class.lpfnWndProc = window_proc;
        window_class.hInstance = instance;
        window_class.hbrBackground = CreateSolidBrush(request.color);
        window_class.lpszClassName = class_name.c_str();
        if (RegisterClassW(&window_class) == 0) {
            std::fprintf(stderr, "RegisterClassW failed: %lu\n", GetLastError());
            return 1;
        }
        // A popup has no frame, so the window rectangle is exactly the one
        // asked for; the application-window style keeps it managed by the
        // window manager, which is what minimizes it.
        const HWND hwnd =
            CreateWindowExW(WS_EX_APPWINDOW, class_name.c_str(), request.title.c_str(),
                            WS_POPUP | WS_MINIMIZEBOX | WS_SYSMENU, request.x, request.y,
                            request.width, request.height, nullptr, nullptr, instance, nullptr);
        if (hwnd == nullptr) {
            std::fprintf(stderr, "CreateWindowExW failed: %lu\n", GetLastError());
            return 1;
        }
        windows.push_back(hwnd);
        ShowWindow(hwnd, SW_SHOWNORMAL);
        UpdateWindow(hwnd);
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].minimized) {
            ShowWindow(windows[i], SW_MINIMIZE);
        }
    }
    // Let the window system settle what the calls above asked for.
    MSG message;
    for (int round = 0; round < 20; ++round) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    }
    say("ready\n");
    for (std::size_t i = 0; i < windows.size(); ++i) {
        say("window %u %llx %lu\n", static_cast<unsigned>(i),
            static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(windows[i])),
            GetCurrentProcessId());
    }
    input_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CreateThread(nullptr, 0, watch_input, nullptr, 0, nullptr);
    if (hang) {
        WaitForSingleObject(input_ended, INFINITE);
        return 0;
    }
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == nullptr && message.message == kRaise) {
            const std::size_t index = message.wParam;
            if (index < windows.size()) {
                SetWindowPos(windows[index], HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            }
            say("raised %u\n", static_cast<unsigned>(index));
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
