#include "platform/records.h"

#include <algorithm>

namespace vantle {

std::optional<std::uint64_t> monitor_of_rect(const Region& rect,
                                             const std::vector<MonitorInfo>& monitors) {
    std::optional<std::uint64_t> best;
    std::int64_t best_area = 0;
    const std::int64_t left = rect.x;
    const std::int64_t top = rect.y;
    const std::int64_t right = left + rect.width;
    const std::int64_t bottom = top + rect.height;
    for (const MonitorInfo& monitor : monitors) {
        const std::int64_t m_left = monitor.x;
        const std::int64_t m_top = monitor.y;
        const std::int64_t m_right = m_left + monitor.width;
        const std::int64_t m_bottom = m_top + monitor.height;
        const std::int64_t overlap_x = std::min(right, m_right) - std::max(left, m_left);
        const std::int64_t overlap_y = std::min(bottom, m_bottom) - std::max(top, m_top);
        if (overlap_x <= 0 || overlap_y <= 0) {
            continue;
        }
        // Both factors are below 2^33, so the product fits.
        const std::int64_t area = overlap_x * overlap_y;
        if (area >= best_area) {
            best_area = area;
            best = monitor.index;
        }
    }
    return best;
}

void place_window(WindowInfo& window, const Region& frame,
                  const std::vector<MonitorInfo>& monitors) {
    window.x = frame.x;
    window.y = frame.y;
    window.width = frame.width;
    window.height = frame.height;
    window.monitor = monitor_of_rect(frame, monitors);
}

}  // namespace vantle
