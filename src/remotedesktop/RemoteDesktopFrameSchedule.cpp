#include "remotedesktop/RemoteDesktopFrameSchedule.h"

#include <algorithm>

namespace trellium {

RemoteDesktopFrameSchedule::RemoteDesktopFrameSchedule(std::chrono::nanoseconds interval, Clock::time_point start)
    : m_interval(interval), m_slotEnd(start)
{
}

RemoteDesktopFrameSchedule::Clock::time_point RemoteDesktopFrameSchedule::nextFrame(Clock::time_point now)
{
    // Slots that already had their frame are over once their end passed.
    while (m_slotUsed && now >= m_slotEnd) {
        m_slotEnd += m_interval;
        m_slotUsed = false;
    }
    if (!m_changePending)
        return m_slotUsed ? m_slotEnd + m_interval : m_slotEnd;
    const Clock::time_point earliest = m_lastChangeTaken ? *m_lastChangeTaken + m_interval : Clock::time_point::min();
    if (m_slotUsed)
        return std::max(m_slotEnd, earliest);
    return std::min(m_slotEnd, std::max(now, earliest));
}

void RemoteDesktopFrameSchedule::frameTaken(Clock::time_point now)
{
    m_slotUsed = true;
    if (m_changePending) {
        m_changePending = false;
        m_lastChangeTaken = now;
    }
    if (now >= m_slotEnd) {
        // The frame at a slot's end closes it; a loop that fell behind
        // starts afresh rather than catching up with a burst.
        m_slotEnd += m_interval;
        m_slotUsed = false;
        if (m_slotEnd <= now)
            m_slotEnd = now + m_interval;
    }
}

} // namespace trellium
