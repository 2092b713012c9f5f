#include "platform/win/capture_border.h"

namespace vantle::win {

BorderlessAccess BorderlessAnswer::get(CaptureBorder& border) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!answer_) {
        answer_ = border.request_borderless_access();
    }
    return *answer_;
}

bool choose_capture_border(CaptureBorder& border, BorderlessAnswer& answer) {
    if (!border.has_border_option()) {
        return false;
    }
    switch (answer.get(border)) {
        case BorderlessAccess::kAllowed:
        case BorderlessAccess::kNoRequest:
            return border.leave_border_out();
        case BorderlessAccess::kRefused:
        case BorderlessAccess::kUnanswered:
            break;
    }
    return false;
}

}  // namespace vantle::win
