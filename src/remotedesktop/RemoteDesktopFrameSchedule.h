#pragma once

#include <chrono>
#include <optional>

namespace trellium {

// When a stream takes its frames. Time runs in slots of one interval, and
// each slot carries one frame, so frames never exceed the rate. A change
// is taken at once when the current slot has had no frame yet and one
// interval has passed since the last change was taken, else as soon as
// both hold; a slot without a change gets its frame at its end, so a still
// screen keeps the rate. Pure bookkeeping: the caller supplies the times.
class RemoteDesktopFrameSchedule {
public:
    using Clock = std::chrono::steady_clock;

    // The first frame is due at `start`.
    RemoteDesktopFrameSchedule(std::chrono::nanoseconds interval, Clock::time_point start);

    // The picture changed.
    void noteChange() { m_changePending = true; }
    bool hasPendingChange() const { return m_changePending; }

    // When the next frame is due (at or before `now`: take it now). A change
    // noted later may bring it forward.
    Clock::time_point nextFrame(Clock::time_point now);
    // A frame was taken at `now`, with every change noted so far.
    void frameTaken(Clock::time_point now);

private:
    const std::chrono::nanoseconds m_interval;
    Clock::time_point m_slotEnd;
    bool m_slotUsed = false;
    bool m_changePending = false;
    std::optional<Clock::time_point> m_lastChangeTaken;
};

} // namespace trellium
