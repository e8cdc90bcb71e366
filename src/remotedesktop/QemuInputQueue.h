#pragma once

#include "core/Async.h"
#include "model/RemoteDesktopInputEvent.h"
#include "remotedesktop/QemuInputEvents.h"

#include <QJsonArray>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace trellium {

// Sends a machine's input steps one QMP command at a time, a fixed pause
// apart, in arrival order: the guest's HID queue overflows when a burst
// arrives unpaced. Keeps track of the keys and buttons its steps hold down,
// so that whatever ends the input (a failed step, the end of the stream, the
// client going away) never leaves one pressed in the guest. Main thread only.
class QemuInputQueue {
public:
    // Delivers one step's "events"; throws when the machine cannot take it.
    using Send = std::function<QCoro::Task<void>(QJsonArray events)>;
    // Who sent an event (a client connection); 0 when nobody in particular.
    using Origin = quint64;

    static constexpr std::chrono::milliseconds pace{12};
    // About three minutes of typing. An event whose steps do not fit beside
    // those waiting is refused whole: one text of 4,096 characters outside
    // the keyboard tables would otherwise type for 16 minutes.
    static constexpr qsizetype maximumQueuedSteps = 16384;

    // The name identifies the queue in log lines.
    QemuInputQueue(Send send, std::shared_ptr<Sleeper> sleeper, QString name);
    // Drops what has not been sent (one log line) and ends the pacing.
    ~QemuInputQueue();
    QemuInputQueue(const QemuInputQueue &) = delete;
    QemuInputQueue &operator=(const QemuInputQueue &) = delete;

    // Queues the event's steps (made as they are sent) and starts sending
    // at once when idle. False, with a log line, when they do not fit. A
    // pointer move replaces the origin's move still waiting at the end of
    // the queue: moves faster than the pace would otherwise make the
    // pointer lag ever further behind. A failed send drops everything
    // still queued with one log line and releases what is held down.
    bool enqueue(const RemoteDesktopInputEvent &event, Origin origin = 0);
    // Drops the origin's queued steps and releases the keys and buttons its
    // steps pressed; without an origin, everybody's.
    void release(std::optional<Origin> origin);

    // Steps waiting to be sent, releases not counted.
    qsizetype queuedSteps() const { return m_state->queued; }

    // Completes when everything queued so far is sent or dropped and the
    // last pause is over (at once when idle or when the queue goes away).
    QCoro::Task<void> whenIdle();

private:
    struct Item {
        QemuInputStepCursor steps;
        Origin origin = 0;
        qsizetype remaining = 0;
        bool isMove = false;  // a pointer move and nothing else
    };
    // A key or button a sent step pressed and no step released yet.
    struct Held {
        bool isKey = true;
        QString name;
        Origin origin = 0;
    };
    struct State {
        Send send;
        std::shared_ptr<Sleeper> sleeper;
        QString name;
        std::deque<Item> items;
        qsizetype queued = 0;
        bool refusing = false;
        // Sent before anything queued.
        std::deque<QJsonArray> releases;
        std::vector<Held> held;
        bool draining = false;
        CancelToken stop;
        QList<Completion<void>> idleWaiters;
    };

    static QCoro::Task<void> drain(std::shared_ptr<State> state);
    static QCoro::Task<void> awaitIdle(Completion<void> idle);
    static std::optional<QJsonArray> takeStep(State &state, bool &isRelease, Origin &origin);
    static void noteHeld(State &state, const QJsonArray &step, Origin origin);
    static void scheduleReleases(State &state, std::optional<Origin> origin);
    static void startDraining(const std::shared_ptr<State> &state);
    static void logDropped(const State &state, qsizetype count, const QString &why);
    static void finishIdle(State &state);

    // Shared with the running drain, which may outlive the queue.
    std::shared_ptr<State> m_state;
};

} // namespace trellium
