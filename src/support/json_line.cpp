#include "support/json_line.h"

namespace vantle {

std::string json_text(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string json_line(const nlohmann::json& value) {
    std::string text = json_text(value);
    text.push_back('\n');
    return text;
}

}  // namespace vantle
