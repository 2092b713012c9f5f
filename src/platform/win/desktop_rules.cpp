#include "platform/win/desktop_rules.h"

#include <algorithm>
#include <map>

#include "capture/resample.h"
#include "support/logger.h"
#include "support/utf.h"

namespace vantle::win {

namespace {

constexpr std::string_view kCaptureTarget = "vantle_lib::capture";

std::u16string_view up_to_nul(std::u16string_view text) {
    return text.substr(0, std::min(text.find(u'\0'), text.size()));
}

bool has_unpaired_surrogate(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                ++i;
                continue;
            }
            return true;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

std::optional<std::uint32_t> parse_decimal(std::u16string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char16_t unit : text) {
        if (unit < u'0' || unit > u'9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(unit - u'0');
        if (value > 0xFFFFFFFFull) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

unsigned windows_major_from_build(std::optional<std::u16string_view> build) {
    if (!build) {
        return 7;
    }
    const std::optional<std::uint32_t> number = parse_decimal(up_to_nul(*build));
    if (!number) {
        return 7;
    }
    if (*number > 21999) {
        return 11;
    }
    if (*number > 10239) {
        return 10;
    }
    if (*number > 9199) {
        return 8;
    }
    return 7;
}

void bgra_to_rgba(std::span<std::uint8_t> pixels, bool opaque_transparent) {
    for (std::size_t i = 0; i + 3 < pixels.size(); i += 4) {
        std::swap(pixels[i], pixels[i + 2]);
        if (opaque_transparent && pixels[i + 3] == 0) {
            pixels[i + 3] = 255;
        }
    }
}

std::optional<std::string> image_file_name(std::u16string_view image_path) {
    const std::size_t separator = image_path.find_last_of(u"\\/");
    const std::u16string_view last =
        separator == std::u16string_view::npos ? image_path : image_path.substr(separator + 1);
    if (last.empty() || last == u"." || last == u"..") {
        return std::nullopt;
    }
    return utf8_from_utf16(last);
}

std::string monitor_device_name(std::u16string_view device) {
    const std::u16string_view name = up_to_nul(device);
    if (has_unpaired_surrogate(name)) {
        return {};
    }
    return utf8_from_utf16(name);
}

std::optional<Region> frame_region(const FrameRect& rect) {
    const std::int64_t width = std::int64_t{rect.right} - rect.left;
    const std::int64_t height = std::int64_t{rect.bottom} - rect.top;
    if (width < 1 || height < 1) {
        return std::nullopt;
    }
    return Region{rect.left, rect.top, static_cast<std::uint32_t>(width),
                  static_cast<std::uint32_t>(height)};
}

std::vector<WindowInfo> collect_windows(std::span<const std::uint64_t> handles,
                                        WindowQueries& queries, std::uint32_t own_pid,
                                        const std::vector<MonitorInfo>& monitors) {
    std::vector<WindowInfo> windows;
    // Lives for this one listing, so a process that starts or ends between two
    // listings is always seen as it is now.
    std::map<std::uint32_t, std::optional<std::string>> process_names;
    for (const std::uint64_t handle : handles) {
        if (!queries.visible(handle)) {
            continue;
        }
        const std::uint32_t pid = queries.owner_pid(handle);
        if (pid == own_pid) {
            continue;
        }
        std::string title = utf8_from_utf16(queries.title(handle));
        if (trim_unicode_white_space(title).empty()) {
            continue;
        }
        // A failed cloak query says nothing, so the window stays listed.
        if (queries.cloaked(handle).value_or(false)) {
            continue;
        }
        WindowInfo window;
        window.handle = handle;
        window.title = std::move(title);
        window.pid = pid;
        window.minimized = queries.iconic(handle);
        if (!window.minimized) {
            std::optional<FrameRect> rect = queries.extended_frame(handle);
            if (!rect) {
                rect = queries.window_rect(handle);
            }
            const std::optional<Region> frame = rect ? frame_region(*rect) : std::nullopt;
            if (!frame) {
                continue;
            }
            place_window(window, *frame, monitors);
        }
        auto known = process_names.find(pid);
        if (known == process_names.end()) {
            const std::optional<std::u16string> path = queries.image_path(pid);
            known = process_names.emplace(pid, path ? image_file_name(*path) : std::nullopt).first;
        }
        window.process = known->second;
        windows.push_back(std::move(window));
    }
    return windows;
}

Result<std::vector<MonitorInfo>> collect_monitors(
    std::size_t count, const std::function<Result<MonitorReading>(std::size_t)>& read) {
    std::vector<MonitorInfo> monitors;
    monitors.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        Result<MonitorReading> reading = read(i);
        if (!reading) {
            return std::unexpected(std::move(reading.error()));
        }
        MonitorInfo monitor;
        monitor.index = monitors.size();
        monitor.name = monitor_device_name(reading->device);
        monitor.x = reading->mode.x;
        monitor.y = reading->mode.y;
        monitor.width = reading->mode.width;
        monitor.height = reading->mode.height;
        monitor.primary = reading->primary;
        monitors.push_back(std::move(monitor));
    }
    return monitors;
}

RgbaImage fit_monitor_picture(RgbaImage picture, const Region& first) {
    if (picture.width == first.width && picture.height == first.height) {
        return picture;
    }
    log_warn(kCaptureTarget, "monitor " + std::to_string(first.width) + "x" +
                                 std::to_string(first.height) + " at " + std::to_string(first.x) +
                                 "," + std::to_string(first.y) + " returned a " +
                                 std::to_string(picture.width) + "x" +
                                 std::to_string(picture.height) + " buffer; resampling to fit");
    return resize_triangle(picture, first.width, first.height);
}

std::optional<PointerSize> pointer_size(std::int32_t bitmap_width, std::int32_t bitmap_height,
                                        bool has_colour) {
    const std::int32_t height = has_colour ? bitmap_height : bitmap_height / 2;
    if (bitmap_width < 1 || height < 1) {
        return std::nullopt;
    }
    return PointerSize{static_cast<std::uint32_t>(bitmap_width),
                       static_cast<std::uint32_t>(height)};
}

namespace {

// Calls `each(picture offset, bitmap offset)` for every pointer pixel that lies
// on the picture.
template <typename Each>
void for_each_covered_pixel(const RgbaImage& picture, PointerPlacement at, PointerSize size,
                            Each each) {
    const std::int64_t first_col = std::max<std::int64_t>(0, -std::int64_t{at.left});
    const std::int64_t first_row = std::max<std::int64_t>(0, -std::int64_t{at.top});
    const std::int64_t end_col =
        std::min<std::int64_t>(size.width, std::int64_t{picture.width} - at.left);
    const std::int64_t end_row =
        std::min<std::int64_t>(size.height, std::int64_t{picture.height} - at.top);
    for (std::int64_t row = first_row; row < end_row; ++row) {
        for (std::int64_t col = first_col; col < end_col; ++col) {
            const auto in_picture = (static_cast<std::size_t>(at.top + row) * picture.width +
                                     static_cast<std::size_t>(at.left + col)) *
                                    4;
            const auto in_bitmap = static_cast<std::size_t>(row * size.width + col) * 4;
            each(in_picture, in_bitmap);
        }
    }
}

}  // namespace

std::vector<std::uint8_t> pointer_backdrop(const RgbaImage& picture, PointerPlacement at,
                                           PointerSize size) {
    std::vector<std::uint8_t> bgra(std::size_t{size.width} * size.height * 4, 0);
    for_each_covered_pixel(picture, at, size, [&](std::size_t p, std::size_t b) {
        bgra[b] = picture.pixels[p + 2];
        bgra[b + 1] = picture.pixels[p + 1];
        bgra[b + 2] = picture.pixels[p];
        bgra[b + 3] = 255;
    });
    return bgra;
}

void pointer_write_back(RgbaImage& picture, PointerPlacement at, PointerSize size,
                        std::span<const std::uint8_t> bgra) {
    if (bgra.size() < std::size_t{size.width} * size.height * 4) {
        return;
    }
    for_each_covered_pixel(picture, at, size, [&](std::size_t p, std::size_t b) {
        picture.pixels[p] = bgra[b + 2];
        picture.pixels[p + 1] = bgra[b + 1];
        picture.pixels[p + 2] = bgra[b];
        picture.pixels[p + 3] = 255;
    });
}

}  // namespace vantle::win
