#include "core/FrameClock.h"

#include <algorithm>

namespace trellium {

FrameClock::FrameClock(int fps)
    : m_interval(std::chrono::nanoseconds(1'000'000'000 / std::max(1, fps))), m_deadline(std::chrono::steady_clock::now())
{
}

QCoro::Task<void> FrameClock::waitForNextFrame(CancelToken token)
{
    m_deadline += m_interval;
    const auto now = std::chrono::steady_clock::now();
    if (m_deadline < now)
        m_deadline = now;
    co_await sleepFor(std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - now), token);
}

} // namespace trellium
