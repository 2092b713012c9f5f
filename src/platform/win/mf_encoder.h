#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "record/frame.h"
#include "support/cli_error.h"

// H.264 MP4 files through Media Foundation's sink writer: a hardware encoder
// where one opens, else the software one.
namespace vantle::mf {

// Creates or replaces the file at `path`; width and height are even and checked
// by the shared encoder rules. Fails with exit code 1 and the rendered chain.
[[nodiscard]] CliResult<std::unique_ptr<VideoEncoder>> open_encoder(
    const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
    std::uint32_t fps);

}  // namespace vantle::mf
