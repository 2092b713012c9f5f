#include "support/process_arguments.h"
#include "support/utf.h"

namespace vantle {

std::vector<OsString> process_arguments(int argc, char** argv) {
    std::vector<OsString> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return arguments;
}

std::string utf8_from_os(const OsString& argument) {
    return utf8_lossy(argument);
}

}  // namespace vantle
