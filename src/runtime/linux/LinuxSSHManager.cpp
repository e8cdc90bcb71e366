#include "runtime/linux/LinuxSSHManager.h"

#include "core/Errors.h"
#include "core/Json.h"
#include "core/Process.h"
#include "runtime/linux/LinuxSSHPortRegistry.h"

namespace trellium {

namespace {
// ssh's own failures (connection, authentication) end with this status;
// other statuses come from the remote command.
constexpr int kSshFailure = 255;
} // namespace

LinuxSSHManager::LinuxSSHManager(LinuxSSHKeyManager keyManager, QString sshPath)
    : m_keyManager(std::move(keyManager)), m_ssh(std::move(sshPath))
{
}

QStringList LinuxSSHManager::destinationArguments(const RuntimeConfig &runtime)
{
    const QString host = runtime.ipAddress.value_or(QString());
    QStringList arguments;
    if (host == QLatin1String("127.0.0.1")) {
        const auto port = LinuxSSHPortRegistry::shared().port(runtime.id);
        if (!port)
            throw DomainError(QStringLiteral("SSH"), kSshFailure,
                              QStringLiteral("Für die Runtime %1 ist kein SSH-Port bekannt.").arg(uuidText(runtime.id)));
        arguments << QStringLiteral("-p") << QString::number(*port);
    }
    arguments << QStringLiteral("--") << runtime.username + QLatin1Char('@') + host;
    return arguments;
}

// The connection to a guest behind QEMU's user-mode network ends at QEMU,
// which keeps it open while the guest is frozen: neither TCP nor the kernel
// ever notice. Users' commands (builds) are left alone: a guest that is only
// slow must not lose them.
const QStringList LinuxSSHManager::kKeepAliveArguments{QStringLiteral("-o"), QStringLiteral("ServerAliveInterval=15"),
                                                       QStringLiteral("-o"), QStringLiteral("ServerAliveCountMax=4")};

QStringList LinuxSSHManager::commandArguments(const RuntimeConfig &runtime, const QString &command,
                                              bool agentCommand) const
{
    QStringList arguments{QStringLiteral("-i"), m_keyManager.privateKeyPath(runtime.id),
                          QStringLiteral("-o"), QStringLiteral("IdentitiesOnly=yes"),
                          QStringLiteral("-o"), QStringLiteral("BatchMode=yes"),
                          QStringLiteral("-o"), QStringLiteral("PasswordAuthentication=no"),
                          QStringLiteral("-o"), QStringLiteral("KbdInteractiveAuthentication=no"),
                          QStringLiteral("-o"), QStringLiteral("ConnectTimeout=5"),
                          QStringLiteral("-o"), QStringLiteral("StrictHostKeyChecking=no"),
                          QStringLiteral("-o"), QStringLiteral("LogLevel=ERROR"),
                          QStringLiteral("-o"), QStringLiteral("UserKnownHostsFile=/dev/null")};
    if (agentCommand)
        arguments << kKeepAliveArguments;
    arguments << destinationArguments(runtime) << command;
    return arguments;
}

ProcessOptions LinuxSSHManager::commandOptions(CancelToken cancel, std::optional<std::chrono::milliseconds> timeout)
{
    ProcessOptions options;
    options.timeout = timeout;  // none unless given: the runner's own default would cut builds short
    options.cancel = std::move(cancel);
    return options;
}

QCoro::Task<QString> LinuxSSHManager::runCommand(RuntimeConfig runtime, QString command, CancelToken cancel,
                                                 std::optional<std::chrono::milliseconds> timeout)
{
    const QStringList arguments = commandArguments(runtime, command, timeout.has_value());
    const ProcessResult result = co_await runProcess(m_ssh, arguments, commandOptions(std::move(cancel), timeout));
    // Invalid UTF-8 is decoded with replacement characters, never dropped.
    if (result.succeeded())
        co_return QString::fromUtf8(result.standardOutput);

    // ssh killed by a signal did not run the command to its end: that is
    // ssh's own failure, not an exit status of the remote command.
    const int code = result.crashed ? kSshFailure : result.exitCode;
    const QString error = QString::fromUtf8(result.standardError).trimmed();
    if (code == kSshFailure && error.contains(QLatin1String("permission denied"), Qt::CaseInsensitive))
        throw DomainError(QStringLiteral("SSH"), code,
                          QStringLiteral("SSH-Schlüssel wurde von der Runtime abgelehnt. Die Verbindung wurde nicht "
                                         "mit einer anderen Runtime oder per Passwort fortgesetzt. ")
                              + error);
    if (error.isEmpty())
        throw DomainError(QStringLiteral("SSH"), code, QStringLiteral("SSH-Befehl fehlgeschlagen."));
    throw DomainError(QStringLiteral("SSH"), code, error);
}

} // namespace trellium
