#pragma once

#include "core/Async.h"

#include <QJsonArray>
#include <QList>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>

namespace trellium {

// Sends a machine's input steps one QMP command at a time, a fixed pause
// apart, in arrival order: the guest's HID queue overflows when a burst
// arrives unpaced. Main thread only.
class QemuInputQueue {
public:
    // Delivers one step's "events"; throws when the machine cannot take it.
    using Send = std::function<QCoro::Task<void>(QJsonArray events)>;

    static constexpr std::chrono::milliseconds pace{12};

    // The name identifies the queue in log lines.
    QemuInputQueue(Send send, std::shared_ptr<Sleeper> sleeper, QString name);
    // Drops what has not been sent (one log line) and ends the pacing.
    ~QemuInputQueue();
    QemuInputQueue(const QemuInputQueue &) = delete;
    QemuInputQueue &operator=(const QemuInputQueue &) = delete;

    // Starts sending at once when idle; a failed send drops everything still
    // queued with one log line.
    void enqueue(const QList<QJsonArray> &steps);

    // Completes when everything queued so far is sent or dropped and the
    // last pause is over (at once when idle or when the queue goes away).
    QCoro::Task<void> whenIdle();

private:
    struct State {
        Send send;
        std::shared_ptr<Sleeper> sleeper;
        QString name;
        std::deque<QJsonArray> steps;
        bool draining = false;
        CancelToken stop;
        QList<Completion<void>> idleWaiters;
    };

    static QCoro::Task<void> drain(std::shared_ptr<State> state);
    static QCoro::Task<void> awaitIdle(Completion<void> idle);
    static void logDropped(const State &state, qsizetype count, const QString &why);
    static void finishIdle(State &state);

    // Shared with the running drain, which may outlive the queue.
    std::shared_ptr<State> m_state;
};

} // namespace trellium
