#include "platform/win/mf_encoder.h"

namespace vantle::mf {

// Until the Media Foundation writer is built, no H.264 encoder opens.
CliResult<std::unique_ptr<VideoEncoder>> open_encoder(const std::filesystem::path&, std::uint32_t,
                                                      std::uint32_t, std::uint32_t) {
    return std::unexpected(CliError::failed("no H.264 encoder could be opened"));
}

}  // namespace vantle::mf
