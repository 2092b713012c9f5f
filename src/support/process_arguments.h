#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vantle {

// One argument exactly as the system handed it over: bytes on POSIX, UTF-16 on
// Windows.
using OsString = std::filesystem::path::string_type;

// The process's arguments after the program name, as the system's own
// command-line splitting yields them. POSIX reads `argv`; Windows asks the
// system for the UTF-16 command line and ignores `argv`, whose text would have
// gone through the ANSI code page.
[[nodiscard]] std::vector<OsString> process_arguments(int argc, char** argv);

// An argument as UTF-8, lossily: each ill-formed UTF-8 sequence (POSIX) or
// unpaired surrogate (Windows) becomes U+FFFD; nothing is refused.
[[nodiscard]] std::string utf8_from_os(const OsString& argument);

}  // namespace vantle
