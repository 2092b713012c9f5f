#include <future>
#include <memory>
#include <system_error>

#include "automation/mcp/arguments.h"
#include "automation/mcp/output_path.h"
#include "automation/mcp/preview.h"
#include "automation/mcp/server.h"
#include "automation/mcp/tool_result.h"
#include "automation/mcp/tools.h"
#include "automation/run/capture.h"
#include "support/json_line.h"
#include "support/paths.h"

namespace vantle::mcp {

nlohmann::json capture(McpServer& server, const nlohmann::json& arguments, std::size_t room) {
    auto target = parse_target_arguments(arguments, server.settings_provider());
    if (!target) {
        return tool_error(std::move(target.error()));
    }
    auto path = resolve_output_path(arguments, server.settings_provider(), "png");
    if (!path) {
        return tool_error(std::move(path.error()));
    }
    CaptureRequest request;
    request.out = *path;
    request.target = std::move(*target);
    if (const nlohmann::json* delay = find_argument(arguments, "delay_ms")) {
        request.delay_ms = non_negative_integer(*delay).value_or(0);
    }
    request.cursor = flag_argument(arguments, "cursor");
    request.restore = flag_argument(arguments, "restore");
    request.allow_desktop = server.settings().automation_allow_desktop;
    request.give_up = [server_end = server.end] { return server_end->ended(); };
    // The preview's first attempt is made from the picture while the file is
    // encoded and written; it is the whole preview unless the reply's bound
    // asks for a smaller one.
    std::shared_ptr<const RgbaImage> picture;
    std::future<Result<std::vector<std::uint8_t>>> first_png;
    request.on_picture = [&](std::shared_ptr<const RgbaImage> taken) {
        picture = std::move(taken);
        try {
            first_png = std::async(std::launch::async,
                                   [shown = picture] { return first_preview_png(*shown); });
        } catch (const std::system_error&) {
            // No thread to spare: the attempt is made afterwards instead.
        }
    };

    auto outcome = run_capture(*server.platform(), request, server.sleep);
    if (!outcome) {
        return tool_error(std::move(outcome.error().message));
    }
    const RgbaImage& image = picture ? *picture : outcome->image;
    const std::string path_text = path_to_utf8(outcome->path);
    const std::string result_text = json_text(capture_result_json(*outcome));
    // Everything in the result but the summary and the picture, as written.
    const std::size_t fixed = json_text(tool_success(nlohmann::json::array(
                                            {text_item(result_text), text_item(""), png_item("")})))
                                  .size();
    const PngRoom png_room = [&](PreviewSize size) -> std::size_t {
        const Preview sized{size.width, size.height, {}};
        // The summary's text as written: quotes, plus escapes the path may need.
        const std::size_t summary = json_text(preview_summary(sized, image, path_text)).size() - 2;
        if (room < fixed + summary) {
            return 0;
        }
        // Base64 takes four characters for every three bytes, the last group padded.
        return (room - fixed - summary) / 4 * 3;
    };
    auto preview = first_png.valid() ? make_preview(image, png_room, first_png.get())
                                     : make_preview(image, png_room);
    if (!preview) {
        return tool_error("captured, but the preview failed: " + preview.error().render());
    }
    return tool_success(nlohmann::json::array({
        text_item(result_text),
        text_item(preview_summary(*preview, image, path_text)),
        png_item(base64_encode(preview->png)),
    }));
}

}  // namespace vantle::mcp
