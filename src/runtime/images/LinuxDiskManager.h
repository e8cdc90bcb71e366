#pragma once

#include "model/RuntimeConfig.h"

#include <QString>
#include <QUuid>

#include <cstdint>

namespace trellium {

// Answers where the agent's folders for Linux work lie and owns each
// runtime's raw disk file. Stateless: any number of instances see the same
// folders.
class LinuxDiskManager {
public:
    QString rootDirectory(const QString &component) const;
    QString baseImagesDirectory() const;
    QString runtimesDirectory() const;
    QString runtimeDirectory(const QUuid &id) const;
    QString runtimeDiskPath(const QUuid &id) const;

    void ensureDirectories() const;
    void ensureRuntimeDirectory(const QUuid &id) const;
    void ensureLogsDirectory(const QUuid &id) const;
    bool runtimeDiskExists(const QUuid &id) const;

    // Creates disk.img as a sparse file of diskGB GiB unless one exists.
    void createRuntimeDisk(const RuntimeConfig &config) const;
    // Grows an existing disk.img sparsely to diskGB GiB; never shrinks.
    void resizeRuntimeDisk(const RuntimeConfig &config) const;

    // diskGB × 2^30, or a DomainError when diskGB is outside 0 … 2^33 − 1.
    static int64_t diskBytes(int64_t diskGB);
};

} // namespace trellium
