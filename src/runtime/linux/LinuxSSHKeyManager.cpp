#include "runtime/linux/LinuxSSHKeyManager.h"

#include "core/Errors.h"
#include "core/Files.h"
#include "core/Process.h"

#include <QFile>

namespace trellium {

LinuxSSHKeyManager::LinuxSSHKeyManager(LinuxDiskManager diskManager, QString sshKeygenPath)
    : m_diskManager(std::move(diskManager)), m_sshKeygen(std::move(sshKeygenPath))
{
}

QString LinuxSSHKeyManager::sshDirectory(const QUuid &runtimeID) const
{
    return m_diskManager.runtimeDirectory(runtimeID) + QStringLiteral("/ssh");
}

QString LinuxSSHKeyManager::privateKeyPath(const QUuid &runtimeID) const
{
    return sshDirectory(runtimeID) + QStringLiteral("/runtime_ed25519");
}

QString LinuxSSHKeyManager::publicKeyURL(const QUuid &runtimeID) const
{
    return privateKeyPath(runtimeID) + QStringLiteral(".pub");
}

void LinuxSSHKeyManager::ensureKeyPair(const RuntimeConfig &runtime) const
{
    const QString folder = sshDirectory(runtime.id);
    createDirectories(folder);
    // ssh refuses keys that others can read; keep the folder private too.
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString key = privateKeyPath(runtime.id);
    if (itemExists(key))
        return;
    ProcessOptions options;
    options.timeout = std::chrono::seconds(60);
    const ProcessResult result = runProcessBlocking(
        m_sshKeygen, {QStringLiteral("-t"), QStringLiteral("ed25519"), QStringLiteral("-N"), QString(),
                      QStringLiteral("-f"), key},
        options);
    if (!result.succeeded())
        throw DomainError(QStringLiteral("SSHKey"), result.crashed ? -1 : result.exitCode);
}

QString LinuxSSHKeyManager::publicKey(const RuntimeConfig &runtime) const
{
    ensureKeyPair(runtime);
    return QString::fromUtf8(readWholeFile(publicKeyURL(runtime.id))).trimmed();
}

} // namespace trellium
