#pragma once

#include "core/Async.h"
#include "model/RuntimeConfig.h"
#include "runtime/linux/LinuxSSHManager.h"

#include <QList>
#include <QStringList>

#include <chrono>
#include <functional>

namespace trellium::test {

// Pauses that take no real time: each sleep returns (through the event loop)
// at once, adds to the virtual clock and honours cancellation.
class VirtualSleeper final : public Sleeper {
public:
    QCoro::Task<void> sleep(std::chrono::milliseconds duration, CancelToken token) override;

    std::chrono::milliseconds elapsed{0};
    QList<std::chrono::milliseconds> pauses;
    // Called before each pause returns; may cancel or change a test's script.
    std::function<void(int pauseNumber)> onPause;
};

// Answers guest commands from a script instead of a guest.
class FakeSSHRunner final : public SSHCommandRunner {
public:
    struct Call {
        QString address;
        QString command;
        std::optional<std::chrono::milliseconds> timeout;
    };
    // Returns the command's output or throws like LinuxSSHManager. A token
    // cancelled before or while the script answers ends the call with
    // CancelledError, as a killed ssh would.
    using Script = std::function<QString(const RuntimeConfig &runtime, const QString &command)>;
    // Thrown by a script: the guest freezes and never answers the command.
    // A call with a limit then ends as LinuxSSHManager's does when the limit
    // kills ssh (at once: the limit passes in virtual time); a call without
    // one never returns unless its token is cancelled.
    struct Frozen {};

    explicit FakeSSHRunner(Script script) : m_script(std::move(script)) {}
    QCoro::Task<QString> runCommand(RuntimeConfig runtime, QString command, CancelToken cancel = {},
                                    std::optional<std::chrono::milliseconds> timeout = std::nullopt) override;

    QList<Call> calls;
    // Calls that met a frozen guest without a limit: they hang.
    int hanging = 0;

private:
    Script m_script;
};

} // namespace trellium::test
