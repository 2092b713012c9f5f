#pragma once

// Parts of Windows that are newer than Windows 7, or missing from some of its
// editions (Media Foundation on N and Server editions), are resolved at run
// time here instead of being imported: an import the loader cannot satisfy
// refuses the whole program before it runs, while a function resolved here
// fails only the feature that needs it, with a message that says why.

#include <windows.h>

#include <roapi.h>
#include <winstring.h>

#include "support/error.h"

namespace vantle::win {

// A DLL of the system folder (never the program's or the current folder),
// loaded once per call site's first use and kept for the life of the process.
// The error is "<name>: <the system's reason>".
[[nodiscard]] Result<HMODULE> load_system_library(const char* name);

// The raw address of `function` in `module`; the error is
// "<function>: <the system's reason>".
[[nodiscard]] Result<FARPROC> find_function(HMODULE module, const char* function);

// Fills `slot` with `function` of `module`, as a pointer of the slot's type
// (declared from the system headers with decltype, so it cannot drift from
// the function's declaration); on an error the slot is left alone.
template <typename F>
[[nodiscard]] Status resolve_function(HMODULE module, const char* function, F& slot) {
    Result<FARPROC> found = find_function(module, function);
    if (!found) {
        return std::unexpected(std::move(found.error()));
    }
    slot = reinterpret_cast<F>(reinterpret_cast<void*>(*found));
    return {};
}

// The Windows Runtime's entry points (combase.dll, Windows 8 on), resolved
// once; an error on a system without the Windows Runtime.
struct RuntimeFunctions {
    decltype(&RoInitialize) initialize = nullptr;
    decltype(&RoUninitialize) uninitialize = nullptr;
    decltype(&RoGetActivationFactory) activation_factory = nullptr;
    decltype(&WindowsCreateStringReference) string_reference = nullptr;
};
[[nodiscard]] const Result<RuntimeFunctions>& runtime_functions();

// Joins the calling thread to the multithreaded apartment: the Windows
// Runtime's where the system has it, else COM's, which is what Media
// Foundation needs on Windows 7. False when the thread could not join (it
// then must not leave).
[[nodiscard]] bool join_multithreaded_apartment();
// Leaves the apartment a successful join entered.
void leave_multithreaded_apartment();

}  // namespace vantle::win
