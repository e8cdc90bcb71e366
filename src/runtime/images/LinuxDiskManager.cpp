#include "runtime/images/LinuxDiskManager.h"

#include "core/Errors.h"
#include "core/Files.h"
#include "core/Log.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace trellium {

namespace {

constexpr int64_t kMaxDiskGB = (int64_t(1) << 33) - 1;

// Opens an existing file (or creates a new one) for writing, sets its length
// and closes it; a new file that cannot be given its length is removed again, so a later
// call does not take a zero-length leftover for a finished disk.
void truncateTo(const QString &path, int64_t size, bool create)
{
    const bool removeOnFailure = create;
    const QByteArray name = QFile::encodeName(path);
    const int flags = O_WRONLY | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0);
    const int fd = ::open(name.constData(), flags, 0644);
    if (fd < 0)
        throw FileError::fromErrno(QStringLiteral("Disk öffnen"), path, errno);
    if (::ftruncate(fd, off_t(size)) != 0) {
        const int error = errno;
        ::close(fd);
        if (removeOnFailure)
            ::unlink(name.constData());
        throw FileError::fromErrno(QStringLiteral("Disk-Größe setzen"), path, error);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        if (removeOnFailure)
            ::unlink(name.constData());
        throw FileError::fromErrno(QStringLiteral("Disk schließen"), path, error);
    }
}

} // namespace

QString LinuxDiskManager::rootDirectory(const QString &component) const
{
    return applicationSupportRoot() + QLatin1Char('/') + component;
}

QString LinuxDiskManager::baseImagesDirectory() const
{
    return rootDirectory(QStringLiteral("BaseImages"));
}

QString LinuxDiskManager::runtimesDirectory() const
{
    return rootDirectory(QStringLiteral("Runtimes"));
}

QString LinuxDiskManager::runtimeDirectory(const QUuid &id) const
{
    return runtimesDirectory() + QLatin1Char('/') + uuidText(id);
}

QString LinuxDiskManager::runtimeDiskPath(const QUuid &id) const
{
    return runtimeDirectory(id) + QStringLiteral("/disk.img");
}

void LinuxDiskManager::ensureDirectories() const
{
    createDirectories(baseImagesDirectory());
    createDirectories(runtimesDirectory());
}

void LinuxDiskManager::ensureRuntimeDirectory(const QUuid &id) const
{
    ensureDirectories();
    createDirectories(runtimeDirectory(id));
}

void LinuxDiskManager::ensureLogsDirectory(const QUuid &id) const
{
    createDirectories(runtimeDirectory(id) + QStringLiteral("/logs"));
}

bool LinuxDiskManager::runtimeDiskExists(const QUuid &id) const
{
    return itemExists(runtimeDiskPath(id));
}

int64_t LinuxDiskManager::diskBytes(int64_t diskGB)
{
    if (diskGB < 0 || diskGB > kMaxDiskGB)
        throw DomainError(QStringLiteral("LinuxDiskManager"), 2,
                          QStringLiteral("Ungültige Disk-Größe: %1 GB").arg(diskGB));
    return diskGB << 30;
}

void LinuxDiskManager::createRuntimeDisk(const RuntimeConfig &config) const
{
    ensureRuntimeDirectory(config.id);
    const QString path = runtimeDiskPath(config.id);
    if (itemExists(path))
        return;
    truncateTo(path, diskBytes(config.diskGB), true);
}

void LinuxDiskManager::resizeRuntimeDisk(const RuntimeConfig &config) const
{
    const QString path = runtimeDiskPath(config.id);
    if (!itemExists(path))
        throw DomainError(QStringLiteral("LinuxDiskManager"), 1, QStringLiteral("Runtime-Disk fehlt: ") + path);
    const int64_t target = diskBytes(config.diskGB);
    const int64_t current = fileSize(path);
    if (current >= target)
        return;
    truncateTo(path, target, false);
    logLine(QStringLiteral("Runtime disk resized:"));
    logLine(QStringLiteral("Current:"), QString::number(current));
    logLine(QStringLiteral("Target:"), QString::number(target));
}

} // namespace trellium
