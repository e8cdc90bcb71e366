#include "remotedesktop/QemuInputQueue.h"

#include "core/Log.h"

namespace trellium {

QemuInputQueue::QemuInputQueue(Send send, std::shared_ptr<Sleeper> sleeper, QString name)
    : m_state(std::make_shared<State>())
{
    m_state->send = std::move(send);
    m_state->sleeper = std::move(sleeper);
    m_state->name = std::move(name);
}

QemuInputQueue::~QemuInputQueue()
{
    m_state->stop.cancel();
    if (!m_state->steps.empty()) {
        logDropped(*m_state, qsizetype(m_state->steps.size()), QStringLiteral("the queue was closed"));
        m_state->steps.clear();
    }
    finishIdle(*m_state);
}

void QemuInputQueue::enqueue(const QList<QJsonArray> &steps)
{
    if (steps.isEmpty())
        return;
    m_state->steps.insert(m_state->steps.end(), steps.begin(), steps.end());
    if (!m_state->draining) {
        m_state->draining = true;
        startDetached(drain(m_state), QStringLiteral("Runtime input ") + m_state->name);
    }
}

QCoro::Task<void> QemuInputQueue::whenIdle()
{
    Completion<void> idle;
    if (m_state->draining)
        m_state->idleWaiters.append(idle);
    else
        idle.resolve();
    return awaitIdle(idle);
}

QCoro::Task<void> QemuInputQueue::awaitIdle(Completion<void> idle)
{
    co_await idle;
}

QCoro::Task<void> QemuInputQueue::drain(std::shared_ptr<State> state)
{
    while (!state->steps.empty()) {
        QJsonArray events = std::move(state->steps.front());
        state->steps.pop_front();
        try {
            co_await state->send(std::move(events));
        } catch (...) {
            // A queue that went away has already reported its leftovers.
            if (!state->stop.isCancelled()) {
                logDropped(*state, qsizetype(state->steps.size()) + 1, describeCurrentException());
                state->steps.clear();
            }
            break;
        }
        // The pause follows every step, so a step queued during it still
        // keeps the distance from the one before.
        try {
            co_await state->sleeper->sleep(pace, state->stop);
        } catch (...) {
            // Cancelled: the queue went away.
            break;
        }
    }
    state->draining = false;
    finishIdle(*state);
}

void QemuInputQueue::logDropped(const State &state, qsizetype count, const QString &why)
{
    logLine(QStringLiteral("Runtime input dropped %1 events for %2: %3").arg(count).arg(state.name, why));
}

void QemuInputQueue::finishIdle(State &state)
{
    for (Completion<void> &waiter : std::exchange(state.idleWaiters, {}))
        waiter.resolve();
}

} // namespace trellium
