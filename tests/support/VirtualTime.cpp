#include "support/VirtualTime.h"

namespace trellium::test {

QCoro::Task<void> VirtualSleeper::sleep(std::chrono::milliseconds duration, CancelToken token)
{
    token.throwIfCancelled();
    pauses.append(duration);
    elapsed += duration;
    if (onPause)
        onPause(int(pauses.size()));
    // Resume through the event loop so long retry loops do not nest deeper.
    Completion<void> tick;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [tick]() mutable { tick.resolve(); }, Qt::QueuedConnection);
    co_await tick;
    token.throwIfCancelled();
}

QCoro::Task<QString> FakeSSHRunner::runCommand(RuntimeConfig runtime, QString command, CancelToken cancel,
                                               std::optional<std::chrono::milliseconds> timeout)
{
    cancel.throwIfCancelled();
    calls.append({runtime.ipAddress.value_or(QString()), command, timeout});
    QString output;
    bool frozen = false;
    try {
        output = m_script(runtime, command);
    } catch (const Frozen &) {
        frozen = true;
    } catch (...) {
        cancel.throwIfCancelled();
        throw;
    }
    if (frozen) {
        if (timeout)
            throw TimeoutError(QStringLiteral("ssh"));
        ++hanging;
        Completion<void> cancelled;
        const int callback = cancel.onCancel([cancelled]() mutable { cancelled.resolve(); });
        co_await cancelled;  // nothing of the runner is touched afterwards: it may be gone
        cancel.removeCallback(callback);
    }
    cancel.throwIfCancelled();
    co_return output;
}

} // namespace trellium::test
