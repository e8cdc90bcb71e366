#pragma once

#include "core/Async.h"
#include "core/Process.h"
#include "model/RuntimeConfig.h"
#include "runtime/linux/LinuxSSHKeyManager.h"

#include <qcoro/qcorotask.h>

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace trellium {

// Runs one shell command in a guest and returns its standard output. An
// interface so that retry loops can be tested without a guest.
//
// A guest command has no time limit unless the caller gives one
// (provisioning and builds run long); cancelling the token ends it at once
// with CancelledError. A command with a limit is one of the agent's own; when
// the limit passes it ends with TimeoutError.
class SSHCommandRunner {
public:
    virtual ~SSHCommandRunner() = default;
    virtual QCoro::Task<QString> runCommand(RuntimeConfig runtime, QString command, CancelToken cancel = {},
                                            std::optional<std::chrono::milliseconds> timeout = std::nullopt) = 0;
};

// The one way commands reach a guest: the system's ssh client with the
// runtime's own key, as the runtime's user.
class LinuxSSHManager final : public SSHCommandRunner {
public:
    explicit LinuxSSHManager(LinuxSSHKeyManager keyManager = {}, QString sshPath = QStringLiteral("/usr/bin/ssh"));

    // Fails with domain "SSH" and ssh's exit status; the description is
    // ssh's own error text, or the key-rejected text when ssh itself was
    // refused by the guest.
    QCoro::Task<QString> runCommand(RuntimeConfig runtime, QString command, CancelToken cancel = {},
                                    std::optional<std::chrono::milliseconds> timeout = std::nullopt) override;

    // The ssh arguments that name the guest: "-p" and the forwarded port
    // when the guest is reached through 127.0.0.1, then "--" and user@host.
    // Refuses a loopback address without a registered port rather than
    // reaching the host's own sshd.
    static QStringList destinationArguments(const RuntimeConfig &runtime);

    // `agentCommand`: ssh also gives up on a guest that stops answering (keep-alive).
    QStringList commandArguments(const RuntimeConfig &runtime, const QString &command, bool agentCommand = false) const;
    // A guest command runs as long as it takes (provisioning and builds run
    // long) unless the caller gives a limit; cancellation always ends it.
    static ProcessOptions commandOptions(CancelToken cancel, std::optional<std::chrono::milliseconds> timeout);
    // What an agent command adds: a guest silent for 75 s is given up.
    static const QStringList kKeepAliveArguments;

private:
    LinuxSSHKeyManager m_keyManager;
    QString m_ssh;
};

} // namespace trellium
