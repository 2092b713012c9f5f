#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <memory>

#include "support/process_arguments.h"
#include "support/utf.h"

namespace vantle {

namespace {

struct LocalFreeDeleter {
    void operator()(LPWSTR* pointer) const { LocalFree(pointer); }
};

}  // namespace

std::vector<OsString> process_arguments(int /*argc*/, char** /*argv*/) {
    std::vector<OsString> arguments;
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalFreeDeleter> list(
        CommandLineToArgvW(GetCommandLineW(), &count));
    if (!list) {
        return arguments;
    }
    for (int i = 1; i < count; ++i) {
        arguments.emplace_back(list.get()[i]);
    }
    return arguments;
}

std::string utf8_from_os(const OsString& argument) {
    return utf8_from_wide(argument);
}

}  // namespace vantle
