#pragma once

#include "core/Async.h"

#include <chrono>

namespace trellium {

// Paces a loop at a fixed rate on the monotonic clock: each wait ends one
// interval after the previous one, so the work in between does not slow the
// rate; a loop that fell behind starts afresh instead of catching up.
class FrameClock {
public:
    explicit FrameClock(int fps);

    // Throws CancelledError when the token is cancelled.
    QCoro::Task<void> waitForNextFrame(CancelToken token);

private:
    std::chrono::nanoseconds m_interval;
    std::chrono::steady_clock::time_point m_deadline;
};

} // namespace trellium
