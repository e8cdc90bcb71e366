#include "remotedesktop/QemuInputQueue.h"

#include "core/Log.h"

#include <QJsonObject>

#include <algorithm>

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
    if (m_state->queued > 0)
        logDropped(*m_state, m_state->queued, QStringLiteral("the queue was closed"));
    m_state->items.clear();
    m_state->releases.clear();
    m_state->queued = 0;
    finishIdle(*m_state);
}

bool QemuInputQueue::enqueue(const RemoteDesktopInputEvent &event, Origin origin)
{
    using Kind = RemoteDesktopInputEvent::Kind;
    QemuInputStepCursor steps(event);
    const bool isMove = event.kind == Kind::mouseMove || event.kind == Kind::leftMouseDragged;
    if (isMove && !m_state->items.empty()) {
        // Only where the pointer ends up matters of moves the guest has not
        // seen yet; QEMU merges such moves the same way.
        Item &last = m_state->items.back();
        if (last.isMove && last.origin == origin && last.remaining > 0) {
            last.steps = std::move(steps);
            return true;
        }
    }
    const qsizetype room = maximumQueuedSteps - m_state->queued;
    const qsizetype count = steps.count(room);
    if (count == 0)
        return true;
    if (count > room) {
        // A flood of refusals is one line.
        if (std::exchange(m_state->refusing, true))
            return false;
        logLine(QStringLiteral("Runtime input refused for %1: %2 steps are waiting, %3 more do not fit")
                    .arg(m_state->name)
                    .arg(m_state->queued)
                    .arg(count > maximumQueuedSteps ? QStringLiteral("over %1").arg(maximumQueuedSteps)
                                                    : QString::number(count)));
        return false;
    }
    m_state->refusing = false;
    m_state->items.push_back(Item{std::move(steps), origin, count, isMove});
    m_state->queued += count;
    startDraining(m_state);
    return true;
}

void QemuInputQueue::release(std::optional<Origin> origin)
{
    State &state = *m_state;
    qsizetype dropped = 0;
    std::erase_if(state.items, [&](const Item &item) {
        if (origin && item.origin != *origin)
            return false;
        dropped += item.remaining;
        return true;
    });
    state.queued -= dropped;
    if (dropped > 0)
        logDropped(state, dropped, QStringLiteral("the input ended"));
    scheduleReleases(state, origin);
    startDraining(m_state);
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

void QemuInputQueue::startDraining(const std::shared_ptr<State> &state)
{
    if (state->draining || (state->items.empty() && state->releases.empty()))
        return;
    state->draining = true;
    startDetached(drain(state), QStringLiteral("Runtime input ") + state->name);
}

std::optional<QJsonArray> QemuInputQueue::takeStep(State &state, bool &isRelease, Origin &origin)
{
    if (!state.releases.empty()) {
        QJsonArray step = std::move(state.releases.front());
        state.releases.pop_front();
        isRelease = true;
        return step;
    }
    while (!state.items.empty()) {
        Item &item = state.items.front();
        if (std::optional<QJsonArray> step = item.steps.next()) {
            if (item.remaining > 0) {
                --item.remaining;
                --state.queued;
            }
            isRelease = false;
            origin = item.origin;
            return step;
        }
        state.queued -= item.remaining;
        state.items.pop_front();
    }
    return std::nullopt;
}

QCoro::Task<void> QemuInputQueue::drain(std::shared_ptr<State> state)
{
    bool isRelease = false;
    Origin origin = 0;
    while (std::optional<QJsonArray> step = takeStep(*state, isRelease, origin)) {
        // A press counts as held once it is sent, answered or not: QEMU may
        // have passed it on before the command failed.
        noteHeld(*state, *step, origin);
        try {
            co_await state->send(std::move(*step));
        } catch (...) {
            // A queue that went away has already reported its leftovers.
            if (state->stop.isCancelled())
                break;
            if (isRelease) {
                logLine(QStringLiteral("Runtime input release failed for %1: %2")
                            .arg(state->name, describeCurrentException()));
            } else {
                logDropped(*state, state->queued + 1, describeCurrentException());
                state->items.clear();
                state->queued = 0;
                scheduleReleases(*state, std::nullopt);
            }
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

void QemuInputQueue::noteHeld(State &state, const QJsonArray &step, Origin origin)
{
    for (const QJsonValue &event : step) {
        const QString type = event[QLatin1String("type")].toString();
        const QJsonValue data = event[QLatin1String("data")];
        const bool isKey = type == QLatin1String("key");
        if (!isKey && type != QLatin1String("btn"))
            continue;
        const QString name = isKey ? data[QLatin1String("key")][QLatin1String("data")].toString()
                                   : data[QLatin1String("button")].toString();
        const auto same = [&](const Held &held) { return held.isKey == isKey && held.name == name; };
        std::erase_if(state.held, same);
        if (data[QLatin1String("down")].toBool())
            state.held.push_back({isKey, name, origin});
    }
}

void QemuInputQueue::scheduleReleases(State &state, std::optional<Origin> origin)
{
    // In reverse order of pressing: the key before the modifiers around it.
    for (auto held = state.held.rbegin(); held != state.held.rend(); ++held) {
        if (origin && held->origin != *origin)
            continue;
        state.releases.push_back(QJsonArray{held->isKey ? qemuKeyEvent(held->name, false)
                                                        : qemuButtonEvent(held->name, false)});
    }
    std::erase_if(state.held, [&](const Held &held) { return !origin || held.origin == *origin; });
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
