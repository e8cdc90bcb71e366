#include "remotedesktop/RuntimeDesktopInputController.h"

#include "core/Errors.h"
#include "core/Log.h"
#include "platform/vm/QmpClient.h"
#include "platform/vm/VirtualMachine.h"

#include <QJsonObject>

namespace trellium {

namespace {

DomainError machineGone()
{
    return DomainError(QStringLiteral("RuntimeInput"), 1, QStringLiteral("Die virtuelle Maschine ist nicht mehr verfügbar."));
}

// Sends to the machine only while it exists; the queue must not keep it alive.
QCoro::Task<void> sendToMachine(std::weak_ptr<VirtualMachine> weakMachine,
                                RuntimeDesktopInputController::StepSender sender, QJsonArray events)
{
    std::shared_ptr<VirtualMachine> machine = weakMachine.lock();
    if (!machine)
        throw machineGone();
    co_await sender(std::move(machine), std::move(events));
}

QCoro::Task<void> nothingQueued()
{
    co_return;
}

} // namespace

RuntimeDesktopInputController::RuntimeDesktopInputController(MachineLookup lookup, StepSender sender,
                                                             std::shared_ptr<Sleeper> sleeper)
    : m_lookup(std::move(lookup)), m_sender(std::move(sender)), m_sleeper(std::move(sleeper))
{
}

RuntimeDesktopInputController::~RuntimeDesktopInputController() = default;

void RuntimeDesktopInputController::handleInput(QUuid runtimeID, const RemoteDesktopInputEvent &event,
                                                QemuInputQueue::Origin origin)
{
    const std::shared_ptr<VirtualMachine> machine = m_lookup ? m_lookup(runtimeID) : nullptr;
    if (!machine) {
        logLine(QStringLiteral("Runtime input failed: no VM view"));
        return;
    }

    const double x = clampedNormalizedPosition(event.normalizedX);
    const double y = clampedNormalizedPosition(event.normalizedY);
    // The point in view coordinates, y upward as the Mac view counts it.
    const double pointX = displayWidth * x;
    const double pointY = displayHeight - displayHeight * y;
    logLine(QStringLiteral("INPUT: norm: %1 %2 view: %3 %4 point: (%5, %6)")
                .arg(QString::number(x), QString::number(y), QString::number(displayWidth),
                     QString::number(displayHeight), QString::number(pointX), QString::number(pointY)));

    queueFor(runtimeID, machine).enqueue(event, origin);
}

void RuntimeDesktopInputController::endInput(QUuid runtimeID)
{
    if (auto entry = m_queues.find(runtimeID); entry != m_queues.end())
        entry->second.queue->release(std::nullopt);
}

void RuntimeDesktopInputController::endInputFrom(QemuInputQueue::Origin origin)
{
    for (auto &[runtimeID, entry] : m_queues)
        entry.queue->release(origin);
}

QCoro::Task<void> RuntimeDesktopInputController::flush(QUuid runtimeID)
{
    auto entry = m_queues.find(runtimeID);
    if (entry == m_queues.end())
        return nothingQueued();
    return entry->second.queue->whenIdle();
}

QemuInputQueue &RuntimeDesktopInputController::queueFor(QUuid runtimeID, const std::shared_ptr<VirtualMachine> &machine)
{
    // Queues of machines that are gone go with them.
    std::erase_if(m_queues, [](const auto &item) { return item.second.machine.expired(); });

    Entry &entry = m_queues[runtimeID];
    if (!entry.queue || entry.machine.lock() != machine) {
        // A new machine for the runtime starts with a queue of its own.
        entry.queue.reset();
        entry.machine = machine;
        StepSender sender = m_sender;
        std::weak_ptr<VirtualMachine> weakMachine = machine;
        auto send = [weakMachine, sender](QJsonArray events) {
            return sendToMachine(weakMachine, sender, std::move(events));
        };
        entry.queue = std::make_unique<QemuInputQueue>(std::move(send), m_sleeper,
                                                       runtimeID.toString(QUuid::WithoutBraces).toUpper());
    }
    return *entry.queue;
}

QCoro::Task<void> RuntimeDesktopInputController::sendThroughQmp(std::shared_ptr<VirtualMachine> machine,
                                                                QJsonArray events)
{
    QmpClient *qmp = machine ? machine->qmp() : nullptr;
    if (!qmp)
        throw machineGone();
    const QJsonObject arguments{{QStringLiteral("events"), events}};
    QCoro::Task<QJsonValue> answer = qmp->execute(QStringLiteral("input-send-event"), arguments, std::chrono::seconds(5));
    // The command is written; waiting for the answer need not keep the machine alive.
    machine.reset();
    co_await std::move(answer);
}

} // namespace trellium
