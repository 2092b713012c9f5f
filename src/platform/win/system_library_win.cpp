#include "platform/win/system_library.h"

#include <objbase.h>

#include <string>

#include "support/os_error.h"

namespace vantle::win {

namespace {

std::wstring widen_ascii(const char* text) {
    std::wstring wide;
    for (const char* at = text; *at != '\0'; ++at) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*at)));
    }
    return wide;
}

Result<RuntimeFunctions> load_runtime_functions() {
    Result<HMODULE> combase = load_system_library("combase.dll");
    if (!combase) {
        return std::unexpected(std::move(combase.error()));
    }
    RuntimeFunctions functions;
    for (Status found : {
             resolve_function(*combase, "RoInitialize", functions.initialize),
             resolve_function(*combase, "RoUninitialize", functions.uninitialize),
             resolve_function(*combase, "RoGetActivationFactory", functions.activation_factory),
             resolve_function(*combase, "WindowsCreateStringReference", functions.string_reference),
         }) {
        if (!found) {
            return std::unexpected(std::move(found.error()));
        }
    }
    return functions;
}

}  // namespace

Result<HMODULE> load_system_library(const char* name) {
    const std::wstring wide = widen_ascii(name);
    HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        // Windows 7 without KB2533623 knows no search flags: the full path of
        // the system folder keeps the lookup out of every other folder.
        wchar_t folder[MAX_PATH];
        const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            const std::wstring path = std::wstring(folder, length) + L"\\" + wide;
            module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
    }
    if (module == nullptr) {
        return std::unexpected(last_os_error(name));
    }
    return module;
}

Result<FARPROC> find_function(HMODULE module, const char* function) {
    const FARPROC address = GetProcAddress(module, function);
    if (address == nullptr) {
        return std::unexpected(last_os_error(function));
    }
    return address;
}

const Result<RuntimeFunctions>& runtime_functions() {
    static const Result<RuntimeFunctions> functions = load_runtime_functions();
    return functions;
}

bool join_multithreaded_apartment() {
    if (const Result<RuntimeFunctions>& runtime = runtime_functions()) {
        return SUCCEEDED(runtime->initialize(RO_INIT_MULTITHREADED));
    }
    return SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

void leave_multithreaded_apartment() {
    if (const Result<RuntimeFunctions>& runtime = runtime_functions()) {
        runtime->uninitialize();
        return;
    }
    CoUninitialize();
}

}  // namespace vantle::win
