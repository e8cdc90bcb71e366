#pragma once

#include "core/Async.h"
#include "model/RemoteDesktopInputEvent.h"
#include "remotedesktop/QemuInputQueue.h"

#include <QJsonArray>
#include <QUuid>

#include <functional>
#include <map>
#include <memory>

namespace trellium {

class VirtualMachine;

// Turns the tablet's input events into QEMU input events for a runtime's
// machine, through one paced queue per machine. Main thread only.
class RuntimeDesktopInputController {
public:
    // The runtime's running machine, or null.
    using MachineLookup = std::function<std::shared_ptr<VirtualMachine>(QUuid runtimeID)>;
    // Delivers one step (the "events" of one input-send-event); throws when
    // the machine cannot take it.
    using StepSender = std::function<QCoro::Task<void>(std::shared_ptr<VirtualMachine> machine, QJsonArray events)>;

    // The picture size of the runtimes' displays (virtio-vga), for the log line.
    static constexpr int displayWidth = 1600;
    static constexpr int displayHeight = 1120;

    explicit RuntimeDesktopInputController(MachineLookup lookup, StepSender sender = sendThroughQmp,
                                           std::shared_ptr<Sleeper> sleeper = MonotonicSleeper::shared());
    ~RuntimeDesktopInputController();
    RuntimeDesktopInputController(const RuntimeDesktopInputController &) = delete;
    RuntimeDesktopInputController &operator=(const RuntimeDesktopInputController &) = delete;

    // Queues the event's QEMU input for the runtime's machine; without a
    // machine logs "Runtime input failed: no VM view" and drops it. The
    // origin is the client the event came from.
    void handleInput(QUuid runtimeID, const RemoteDesktopInputEvent &event, QemuInputQueue::Origin origin = 0);
    // The runtime's stream ended: its queued input is dropped and every key
    // and button its input holds down is released.
    void endInput(QUuid runtimeID);
    // A client went away: on every runtime its queued input is dropped and
    // the keys and buttons it holds down are released.
    void endInputFrom(QemuInputQueue::Origin origin);

    // Completes when everything queued for the runtime so far is delivered
    // or dropped.
    QCoro::Task<void> flush(QUuid runtimeID);

    // The real sender: QMP input-send-event on the machine's QmpClient.
    static QCoro::Task<void> sendThroughQmp(std::shared_ptr<VirtualMachine> machine, QJsonArray events);

private:
    struct Entry {
        std::weak_ptr<VirtualMachine> machine;
        std::unique_ptr<QemuInputQueue> queue;
    };

    QemuInputQueue &queueFor(QUuid runtimeID, const std::shared_ptr<VirtualMachine> &machine);

    MachineLookup m_lookup;
    StepSender m_sender;
    std::shared_ptr<Sleeper> m_sleeper;
    std::map<QUuid, Entry> m_queues;
};

} // namespace trellium
