#pragma once

#include "model/RuntimeConfig.h"

#include <QList>
#include <QString>
#include <QUuid>

namespace trellium {

// Keeps every runtime's record in <root>/Runtimes/<UUID>/runtime.json and is
// the only writer of that file. Holds no state: every call goes to the disk.
class RuntimeStore {
public:
    QString runtimesDirectory() const;
    QString runtimeDirectory(const QUuid &id) const;
    QString recordPath(const QUuid &id) const;

    void ensureRuntimesDirectory() const;
    // Records sorted by createdAt (equal dates keep the folder-name order).
    // A record that cannot be read is reported and skipped, never rewritten.
    QList<RuntimeConfig> loadAllRuntimes() const;
    // Stores a copy whose updatedAt is now; the caller's record is unchanged.
    void saveRuntimeConfig(const RuntimeConfig &config) const;
    // After a restart no machine exists: records left between starting and
    // stopping become stopped without an address. Returns those it changed.
    QList<RuntimeConfig> recoverInterruptedRuntimes() const;
    void createRuntimeFolder(const QUuid &id) const;
    void deleteRuntimeFolder(const QUuid &id) const;

    // Reads one record; RuntimeError::runtimeNotFound when there is none.
    RuntimeConfig readRuntime(const QUuid &id) const;
};

} // namespace trellium
