#include <dlfcn.h>

#include <string>
#include <system_error>

#include "platform/x11/encoder_module.h"
#include "support/logger.h"
#include "support/paths.h"

namespace vantle::x11 {

namespace {

// The module beside the program (the build folder, or both files copied
// anywhere together), else in the installed layout: <prefix>/lib/vantle beside
// <prefix>/bin. Both are found from the program's own path, so a relocated
// installation keeps working.
Result<std::filesystem::path> module_path() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::unexpected(Error(
            "the H.264 encoder module could not be found: the program's own path is unknown"));
    }
    const std::filesystem::path beside = program.parent_path() / kEncoderModuleFile;
    const std::filesystem::path installed =
        (program.parent_path() / VANTLE_INSTALLED_MODULE_FOLDER / kEncoderModuleFile)
            .lexically_normal();
    for (const std::filesystem::path& candidate : {beside, installed}) {
        if (std::filesystem::exists(candidate, error)) {
            return candidate;
        }
    }
    return std::unexpected(
        Error("neither " + path_to_utf8(beside) + " nor " + path_to_utf8(installed) + " exists")
            .context("the H.264 encoder module could not be loaded"));
}

Result<const EncoderModule*> load_module() {
    Result<std::filesystem::path> path = module_path();
    if (!path) {
        return std::unexpected(std::move(path.error()));
    }
    const std::string file = path_to_utf8(*path);
    // Never closed: encoders made by the module run its code until they go.
    void* handle = ::dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = ::dlerror();
        // The loader's text names the file.
        return std::unexpected(Error(reason != nullptr ? reason : file + ": unknown reason")
                                   .context("the H.264 encoder module could not be loaded"));
    }
    const auto entry = reinterpret_cast<EncoderModuleEntry>(::dlsym(handle, kEncoderModuleEntry));
    const EncoderModule* module = entry != nullptr ? entry() : nullptr;
    if (module == nullptr || module->version != kEncoderModuleVersion ||
        module->size != sizeof(EncoderModule) || module->open == nullptr) {
        return std::unexpected(
            Error("the H.264 encoder module " + file + " belongs to another build of the program"));
    }
    return module;
}

}  // namespace

Result<std::unique_ptr<VideoEncoder>> open_module_encoder(const std::filesystem::path& path,
                                                          std::uint32_t width, std::uint32_t height,
                                                          std::uint32_t fps) {
    static const Result<const EncoderModule*> module = load_module();
    if (!module) {
        return std::unexpected(module.error());
    }
    return (*module)->open(path, width, height, fps, &vantle::log);
}

}  // namespace vantle::x11
