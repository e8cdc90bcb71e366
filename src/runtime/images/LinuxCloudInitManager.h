#pragma once

#include "model/RuntimeConfig.h"

#include <QString>

#include <qcoro/qcorotask.h>

namespace trellium {

// Writes the cloud-init documents of a runtime or template (user-data,
// meta-data and, for Arch runtimes, network-config) and packs them into the
// seed image the guest boots with. Stateless; main thread only.
//
// Every value that reaches a document is either validated (user, host,
// share, SSH key, no control characters or noncharacters in texts) or
// escaped for the shell context it lands in, so a runtime record can never
// add YAML keys or run commands in the guest; YAML scalars made from a record
// are quoted, so they stay text ("007", "yes", "null").
class LinuxCloudInitManager {
public:
    struct Tools {
        QString genisoimage = QStringLiteral("/usr/bin/genisoimage");
        QString xorriso = QStringLiteral("/usr/bin/xorriso");
    };

    // Two constructors rather than a default argument: Tools' member
    // initialisers are not usable inside the enclosing class.
    LinuxCloudInitManager();
    explicit LinuxCloudInitManager(Tools tools);

    // Writes user-data, meta-data and (Arch, runtime mode only) network-config
    // into `folder`, each atomically; removes a stale network-config
    // otherwise. Nothing is written when the record or key is refused.
    void writeCloudInitFiles(const RuntimeConfig &config, const QString &folder, const QString &sshPublicKey,
                             bool forRuntime) const;

    // Builds <folder>/seed.iso (volume "cidata") from the documents, through
    // a fresh <folder>/seed/ which stays afterwards.
    QCoro::Task<void> createSeedISO(QString folder) const;

    // Puts `count` blanks before every non-empty line; empty lines stay empty.
    static QString indentLines(const QString &text, int count);

    // The documents themselves, without a final line feed. userData and
    // metaData throw DomainError "RuntimeConfig" for values they refuse.
    static QString userData(const RuntimeConfig &config, const QString &sshPublicKey, bool forRuntime);
    static QString metaData(const RuntimeConfig &config);
    static QString networkConfig();

private:
    Tools m_tools;
};

} // namespace trellium
