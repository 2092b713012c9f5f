#pragma once

#include <memory>

#include "platform/records.h"
#include "record/frame.h"
#include "support/error.h"

namespace vantle::x11 {

// A live capture of a window (through Composite), a monitor or a region of one
// (root copies), fed by a thread of its own with a connection of its own. It
// copies when the server reports a change (DAMAGE), at most 60 times a second
// and no more often than the frame loop takes pictures (timed to land just
// before its next tick), and after every picture taken when the pointer is
// drawn in, since pointer motion reports none. A window source ends when the
// window is destroyed; a window that changes size delivers pictures of its new
// size.
[[nodiscard]] Result<std::unique_ptr<FrameSource>> start_x11_source(const RecordTarget& target,
                                                                    bool cursor);

}  // namespace vantle::x11
