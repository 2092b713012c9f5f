#include "platform/x11/source_x11.h"

#include <xcb/damage.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/desktop_picture.h"
#include "platform/restore_wait.h"
#include "platform/x11/capture_x11.h"
#include "platform/x11/desktop_x11.h"
#include "platform/x11/event_wait.h"
#include "platform/x11/xcb_session.h"
#include "record/latest_frame_slot.h"
#include "support/logger.h"

namespace vantle::x11 {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kMinInterval = std::chrono::nanoseconds(1'000'000'000 / 60);
// How many pictures a source keeps for reuse: the one the slot holds, the one
// the frame loop may still be encoding, and the one being copied.
constexpr std::size_t kPoolSize = 3;
// How long the thread sleeps at most before it looks at the stop flag again.
constexpr auto kStopCheck = std::chrono::milliseconds(20);
constexpr std::string_view kLogTarget = "vantle_lib::platform::x11::source";

// Pictures that nobody holds any more, kept for the next copy. A frame comes
// back when its last handle goes, on whichever thread drops it (the frame loop,
// as a rule); the mutex orders that thread's last reads of the pixels before
// the next copy into them, which a look at the handle's use count alone would
// not show to ThreadSanitizer. The frames' deleters keep the pool alive.
class FramePool : public std::enable_shared_from_this<FramePool> {
  public:
    [[nodiscard]] std::shared_ptr<Frame> take() {
        std::unique_ptr<Frame> frame;
        {
            const std::lock_guard lock(mutex_);
            if (!spare_.empty()) {
                frame = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        if (!frame) {
            frame = std::make_unique<Frame>();
        }
        return {frame.release(),
                [pool = shared_from_this()](Frame* done) { pool->give_back(done); }};
    }

  private:
    void give_back(Frame* done) {
        std::unique_ptr<Frame> frame(done);  // freed after the lock, when not kept
        const std::lock_guard lock(mutex_);
        if (spare_.size() < kPoolSize) {
            spare_.push_back(std::move(frame));
        }
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<Frame>> spare_;
};

struct RootRect {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The part of a root rectangle that lies on the screen (copies off it fail).
RootRect on_screen(const XcbSession& x, const RootRect& r) {
    const CropExtent kept =
        clip_crop(x.screen().width_in_pixels, x.screen().height_in_pixels,
                  CropExtent{std::max(r.x, 0), std::max(r.y, 0),
                             static_cast<std::uint32_t>(std::max<std::int64_t>(
                                 0, std::int64_t{r.x} + r.width - std::max(r.x, 0))),
                             static_cast<std::uint32_t>(std::max<std::int64_t>(
                                 0, std::int64_t{r.y} + r.height - std::max(r.y, 0)))});
    return {kept.x, kept.y, kept.width, kept.height};
}

class X11FrameSource final : public FrameSource {
  public:
    X11FrameSource(std::unique_ptr<XcbSession> x, std::optional<xcb_window_t> window,
                   std::string title, RootRect rect, bool cursor)
        : x_(std::move(x)),
          window_(window),
          title_(std::move(title)),
          rect_(rect),
          cursor_(cursor) {}

    ~X11FrameSource() override {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    Status start() {
        if (window_) {
            // Destruction is reported to clients that listen for structure events.
            const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            const Reply<xcb_generic_error_t> error(
                xcb_request_check(x_->conn(), xcb_change_window_attributes_checked(
                                                  x_->conn(), *window_, XCB_CW_EVENT_MASK, &mask)));
            if (error) {
                return std::unexpected(x_error(*error, "watching the window"));
            }
            // The picture is the frame, as listed, decorations included.
            const std::optional<xcb_window_t> frame = frame_window(*x_, *window_);
            if (!frame) {
                return std::unexpected(Error("the window has closed"));
            }
            frame_ = *frame;
            with_extents_ = x_->window_manager().has_value();
            if (frame_ != *window_) {
                // A frame that changes size reports it to its own listeners only.
                (void)xcb_change_window_attributes(x_->conn(), frame_, XCB_CW_EVENT_MASK, &mask);
            }
            // The first picture is held to the rule of a capture: the window's
            // own, or no recording.
            const auto deadline = Clock::now() + kDrawLimit;
            Result<RedirectedWindow> redirected = RedirectedWindow::open(*x_, frame_, *window_);
            if (!redirected) {
                return std::unexpected(std::move(redirected.error()));
            }
            redirected_.emplace(std::move(*redirected));
            damage_ = redirected_->damage();
            if (!redirected_->wait_painted(deadline)) {
                return std::unexpected(Error(not_drawn_message(title_)));
            }
            if (const Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(
                    x_->conn(), xcb_get_geometry(x_->conn(), frame_), nullptr));
                geometry) {
                frame_width_ = geometry->width;
                frame_height_ = geometry->height;
            }
        } else {
            damage_ = create_damage(*x_, x_->root());
        }
        thread_ = std::thread([this] { run(); });
        return {};
    }

    FrameHandle latest_frame() override { return slot_.latest(); }
    bool has_ended() override { return slot_.has_ended(); }
    FrameHandle wait_first_frame(std::chrono::milliseconds timeout) override {
        return slot_.wait_first_frame(timeout);
    }

  private:
    void run();
    // Copies one picture; false when the source has ended.
    bool capture_once();
    // Notes what an event tells; false when the recorded window is gone.
    bool note(const xcb_generic_event_t& event, bool& dirty);

    std::unique_ptr<XcbSession> x_;         // used only by the thread once it runs
    std::optional<xcb_window_t> window_;    // the client, whose destruction ends the source
    std::string title_;                     // for messages
    xcb_window_t frame_ = XCB_WINDOW_NONE;  // what is captured: the client's frame
    std::uint16_t frame_width_ = 0;         // its size as last reported
    std::uint16_t frame_height_ = 0;
    bool with_extents_ = false;  // a window manager's frame is part of the window
    RootRect rect_;
    bool cursor_;
    std::optional<RedirectedWindow> redirected_;
    std::optional<RootCopier> copier_;
    std::uint32_t damage_ = 0;
    std::optional<std::uint8_t> damage_notify_;
    std::shared_ptr<FramePool> pool_ = std::make_shared<FramePool>();
    LatestFrameSlot slot_;
    std::atomic<bool> stop_{false};
    std::thread thread_;  // last: joined before the members it uses go
};

bool X11FrameSource::capture_once() {
    if (!copier_) {
        copier_.emplace(*x_);
    }
    // A picture to copy into: a large one's fresh memory costs more than its copy.
    std::shared_ptr<Frame> frame = pool_->take();
    std::int32_t origin_x = rect_.x;
    std::int32_t origin_y = rect_.y;
    if (window_) {
        const std::optional<Region> listed = listed_frame(*x_, *window_, with_extents_);
        if (!listed) {
            return false;  // the window is gone
        }
        if (!redirected_->painted()) {
            // Parts the program has not painted since they were mapped or
            // grew hold other pixels: the previous picture repeats instead.
            return true;
        }
        const auto frame_origin = window_origin(*x_, frame_);
        bool copied = false;
        const Status read = redirected_->read_part(
            *copier_,
            [&](std::uint32_t width, std::uint32_t height) {
                return frame_origin ? listed_part(width, height, frame_origin->first,
                                                  frame_origin->second, *listed)
                                    : PicturePart{0, 0, width, height, listed->x, listed->y};
            },
            [&](const std::uint8_t* bgrx, const PicturePart& part) {
                copy_opaque_frame(bgrx, part.width, part.height, *frame);
                origin_x = part.x;
                origin_y = part.y;
                copied = true;
            });
        if (!read || !copied) {
            return true;  // not shown right now (minimized); it reports when it is back
        }
    } else {
        const Status read = copier_->read(
            rect_.x, rect_.y, rect_.width, rect_.height, [&](const std::uint8_t* bgrx) {
                copy_opaque_frame(bgrx, rect_.width, rect_.height, *frame);
            });
        if (!read) {
            log_warn(kLogTarget, "a captured frame could not be read: " + read.error().render());
            return true;
        }
    }
    if (cursor_) {
        if (Status drawn = draw_pointer(*x_, *frame, origin_x, origin_y); !drawn) {
            log_warn(kLogTarget, "the pointer could not be drawn: " + drawn.error().render());
        }
    }
    slot_.publish(std::move(frame));
    return true;
}

bool X11FrameSource::note(const xcb_generic_event_t& event, bool& dirty) {
    const std::uint8_t type = event.response_type & 0x7F;
    if (window_ && type == XCB_DESTROY_NOTIFY &&
        reinterpret_cast<const xcb_destroy_notify_event_t*>(&event)->window == *window_) {
        return false;
    }
    if (redirected_ && type == XCB_MAP_NOTIFY &&
        reinterpret_cast<const xcb_map_notify_event_t*>(&event)->window == frame_) {
        // Mapped again, the window's storage starts from what lay under it.
        redirected_->mark_all_unpainted(frame_width_, frame_height_);
    }
    if (redirected_ && type == XCB_CONFIGURE_NOTIFY) {
        const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(&event);
        if (configure->window == frame_) {
            redirected_->mark_grown(frame_width_, frame_height_, configure->width,
                                    configure->height);
            frame_width_ = configure->width;
            frame_height_ = configure->height;
        }
    }
    if ((damage_notify_ && type == *damage_notify_) || type == XCB_CONFIGURE_NOTIFY ||
        type == XCB_MAP_NOTIFY) {
        dirty = true;
    }
    return true;
}

void X11FrameSource::run() {
    damage_notify_ = damage_event_base(*x_);
    // The pointer moves without damage, and a server without DAMAGE reports no
    // change at all: then every picture taken is followed by a copy.
    const bool every_tick = cursor_ || damage_ == 0;
    bool dirty = true;
    Clock::time_point last_copy;
    Clock::duration copy_cost{};
    while (!stop_.load()) {
        const LatestFrameSlot::Demand demand = slot_.demand();
        if (!demand.taken) {
            // Nobody has seen the last picture yet: a copy now would be thrown
            // away. Wait for the frame loop, then read what the server said.
            slot_.wait_taken(Clock::now() + kStopCheck);
            bool gone = false;
            while (const Reply<xcb_generic_event_t> event{xcb_poll_for_event(x_->conn())}) {
                gone = gone || !note(*event, dirty);
            }
            if (gone || xcb_connection_has_error(x_->conn()) != 0) {
                break;
            }
            continue;
        }
        // Copy ahead of the frame loop's next tick (going by the time between
        // its last two) by twice what a copy has been taking, and by at least
        // half a period: a copy that misses its tick shows as a repeated
        // picture, one that comes early only as an older one.
        Clock::time_point due = last_copy + kMinInterval / 2;
        if (demand.previous != Clock::time_point{}) {
            const auto period = std::clamp<Clock::duration>(
                demand.last - demand.previous, Clock::duration::zero(), std::chrono::seconds(1));
            const auto lead =
                std::max<Clock::duration>(2 * copy_cost + std::chrono::milliseconds(4), period / 2);
            due = std::max(due, demand.last + period - lead);
        }
        const auto now = Clock::now();
        const bool wanted = dirty || every_tick;
        if (!wanted || now < due) {
            const auto wake = wanted ? std::min(due, now + kStopCheck) : now + kStopCheck;
            if (Reply<xcb_generic_event_t> event = wait_for_event(x_->conn(), wake)) {
                if (!note(*event, dirty)) {
                    break;
                }
            } else if (xcb_connection_has_error(x_->conn()) != 0) {
                break;
            }
            continue;
        }
        if (redirected_) {
            // Also takes what was painted off what a picture may not show yet.
            redirected_->note_damage();
        } else if (damage_ != 0) {
            // Clears what was reported so far; the next change sends one new event.
            xcb_damage_subtract(x_->conn(), damage_, XCB_NONE, XCB_NONE);
        }
        dirty = false;
        last_copy = now;
        if (!capture_once()) {
            break;
        }
        // The slowest copy of late counts, fading, so one quick copy under load
        // does not cut the margin.
        copy_cost = std::max<Clock::duration>(Clock::now() - now, copy_cost * 7 / 8);
    }
    slot_.end();
}

}  // namespace

Result<std::unique_ptr<FrameSource>> start_x11_source(const RecordTarget& target, bool cursor) {
    Result<XcbSession> opened = XcbSession::open();
    if (!opened) {
        return std::unexpected(std::move(opened.error()));
    }
    auto x = std::make_unique<XcbSession>(std::move(*opened));
    std::optional<xcb_window_t> window;
    std::string title;
    RootRect rect;
    if (const auto* w = std::get_if<RecordWindow>(&target)) {
        window = static_cast<xcb_window_t>(w->window.handle);
        title = w->window.title;
    } else if (const auto* m = std::get_if<RecordMonitor>(&target)) {
        rect = on_screen(*x, {m->monitor.x, m->monitor.y, m->monitor.width, m->monitor.height});
    } else {
        const auto& r = std::get<RecordRegion>(target);
        const CropExtent crop =
            clip_crop(r.monitor.width, r.monitor.height,
                      CropExtent{r.region.x - r.monitor.x, r.region.y - r.monitor.y, r.region.width,
                                 r.region.height});
        rect = on_screen(*x, {r.monitor.x + crop.x, r.monitor.y + crop.y, crop.width, crop.height});
    }
    if (!window && (rect.width == 0 || rect.height == 0)) {
        return std::unexpected(Error("the area to record lies outside the X screen"));
    }
    auto source =
        std::make_unique<X11FrameSource>(std::move(x), window, std::move(title), rect, cursor);
    if (Status started = source->start(); !started) {
        return std::unexpected(std::move(started.error()));
    }
    return std::unique_ptr<FrameSource>(std::move(source));
}

}  // namespace vantle::x11
