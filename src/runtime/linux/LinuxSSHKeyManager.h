#pragma once

#include "model/RuntimeConfig.h"
#include "runtime/images/LinuxDiskManager.h"

#include <QString>
#include <QUuid>

namespace trellium {

// Each runtime's own key pair in Runtimes/<UUID>/ssh/: its public half goes
// into the guest through cloud-init, its private half lets the agent in.
class LinuxSSHKeyManager {
public:
    LinuxSSHKeyManager(LinuxDiskManager diskManager = {},
                                QString sshKeygenPath = QStringLiteral("/usr/bin/ssh-keygen"));

    // Creates the pair unless the private key exists; never replaces a key.
    void ensureKeyPair(const RuntimeConfig &runtime) const;
    // Ensures the pair and returns the public key line, trimmed.
    QString publicKey(const RuntimeConfig &runtime) const;
    QString publicKeyURL(const QUuid &runtimeID) const;
    QString privateKeyPath(const QUuid &runtimeID) const;

private:
    QString sshDirectory(const QUuid &runtimeID) const;

    LinuxDiskManager m_diskManager;
    QString m_sshKeygen;
};

} // namespace trellium
