#include "automation/mcp/tool_result.h"
#include "automation/mcp/tools.h"

namespace vantle::mcp {

nlohmann::json capture(McpServer& /*server*/, const nlohmann::json& /*arguments*/) {
    return tool_error("capture is not available in this build yet");
}
nlohmann::json record_start(McpServer& /*server*/, const nlohmann::json& /*arguments*/) {
    return tool_error("record_start is not available in this build yet");
}
nlohmann::json record_stop(McpServer& /*server*/, const nlohmann::json& /*arguments*/) {
    return tool_error("record_stop is not available in this build yet");
}

}  // namespace vantle::mcp
