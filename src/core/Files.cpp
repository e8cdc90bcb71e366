#include "core/Files.h"

#include "core/Descriptor.h"
#include "core/Errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trellium {

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

QString temporarySibling(const QString &target)
{
    const QFileInfo info(target);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".partial-")
        + QString::number(QRandomGenerator::global()->generate64(), 16);
}

// Writes every byte or throws; a short write (a full disk, a size limit) is
// an error, never a silently shorter file.
void writeAll(int fd, const QByteArray &bytes, const QString &operation, const QString &path)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileError::fromErrno(operation, path, errno);
        }
        written += n;
    }
}

// Copies [offset, end) of `in` to the same place in `out`.
void copyRange(int in, int out, off_t offset, off_t end, const QString &source)
{
    bool useCopyFileRange = true;
    std::vector<char> buffer;
    while (offset < end) {
        const size_t want = size_t(std::min<off_t>(end - offset, off_t(1) << 30));
        if (useCopyFileRange) {
            loff_t inOffset = offset;
            loff_t outOffset = offset;
            const ssize_t copied = ::copy_file_range(in, &inOffset, out, &outOffset, want, 0);
            if (copied > 0) {
                offset += copied;
                continue;
            }
            if (copied == 0)
                throw FileError(QStringLiteral("Kopieren"), source, QStringLiteral("Datei wurde kürzer"));
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                throw FileError::fromErrno(QStringLiteral("Kopieren"), source, errno);
            useCopyFileRange = false;
            buffer.resize(size_t(1) << 20);
        }
        const size_t chunk = std::min(want, buffer.size());
        const ssize_t got = ::pread(in, buffer.data(), chunk, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw FileError::fromErrno(QStringLiteral("Lesen"), source, errno);
        }
        if (got == 0)
            throw FileError(QStringLiteral("Kopieren"), source, QStringLiteral("Datei wurde kürzer"));
        ssize_t written = 0;
        while (written < got) {
            const ssize_t n = ::pwrite(out, buffer.data() + written, size_t(got - written), offset + written);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                throw FileError::fromErrno(QStringLiteral("Schreiben"), source, errno);
            }
            written += n;
        }
        offset += got;
    }
}

void copyDataRanges(int in, int out, off_t size, const QString &source)
{
    off_t offset = 0;
    while (offset < size) {
        off_t data = ::lseek(in, offset, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                return;  // only a hole remains
            if (errno == EINVAL || errno == EOPNOTSUPP) {
                // No hole support: copy everything that is left.
                copyRange(in, out, offset, size, source);
                return;
            }
            throw FileError::fromErrno(QStringLiteral("Lesen"), source, errno);
        }
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            throw FileError::fromErrno(QStringLiteral("Lesen"), source, errno);
        hole = std::min(hole, size);
        copyRange(in, out, data, hole, source);
        offset = hole;
    }
}

} // namespace

QString applicationSupportRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/TRELLIUM");
}

bool itemExists(const QString &path)
{
    struct stat st {};
    return ::lstat(encoded(path).constData(), &st) == 0;
}

bool isDirectory(const QString &path)
{
    struct stat st {};
    return ::stat(encoded(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

QByteArray readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("Lesen"), path, file.errorString());
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw FileError(QStringLiteral("Lesen"), path, file.errorString());
    return bytes;
}

void writeFileAtomically(const QString &path, const QByteArray &bytes)
{
    // Written by hand rather than with QSaveFile: Qt 6.4's commit() reports
    // success when its buffered write-out failed (a full disk then empties
    // the record it was meant to replace).
    const QString temporary = temporarySibling(path);
    const QByteArray temporaryName = encoded(temporary);
    Descriptor out(::open(temporaryName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (out.get() < 0)
        throw FileError::fromErrno(QStringLiteral("Schreiben"), path, errno);
    try {
        // A replaced file keeps its permissions.
        struct stat existing {};
        if (::stat(encoded(path).constData(), &existing) == 0 && S_ISREG(existing.st_mode))
            ::fchmod(out.get(), existing.st_mode & 07777);
        writeAll(out.get(), bytes, QStringLiteral("Schreiben"), path);
        if (::fsync(out.get()) != 0)
            throw FileError::fromErrno(QStringLiteral("Schreiben"), path, errno);
        if (::close(out.release()) != 0)
            throw FileError::fromErrno(QStringLiteral("Schreiben"), path, errno);
        if (::rename(temporaryName.constData(), encoded(path).constData()) != 0)
            throw FileError::fromErrno(QStringLiteral("Schreiben"), path, errno);
    } catch (...) {
        ::unlink(temporaryName.constData());
        throw;
    }
}

QByteArray readRegularFileTail(const QString &path, qint64 maxBytes)
{
    Descriptor in(::open(encoded(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.get() < 0)
        throw FileError::fromErrno(QStringLiteral("Lesen"), path, errno);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0)
        throw FileError::fromErrno(QStringLiteral("Lesen"), path, errno);
    if (!S_ISREG(st.st_mode))
        throw FileError(QStringLiteral("Lesen"), path, QStringLiteral("keine reguläre Datei"));
    const off_t start = std::max<off_t>(0, st.st_size - std::max<qint64>(0, maxBytes));
    QByteArray bytes(qsizetype(st.st_size - start), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(in.get(), bytes.data() + got, size_t(bytes.size() - got), start + got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileError::fromErrno(QStringLiteral("Lesen"), path, errno);
        }
        if (n == 0)
            break;  // the file shrank meanwhile
        got += n;
    }
    bytes.truncate(got);
    return bytes;
}

void createDirectories(const QString &path)
{
    const QByteArray full = encoded(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    for (qsizetype i = 1; i <= full.size(); ++i) {
        if (i < full.size() && full[i] != '/')
            continue;
        const QByteArray prefix = full.left(i);
        if (::mkdir(prefix.constData(), 0755) == 0)
            continue;
        const int error = errno;
        struct stat st {};
        if (error == EEXIST && ::stat(prefix.constData(), &st) == 0) {
            if (S_ISDIR(st.st_mode))
                continue;
            throw FileError::fromErrno(QStringLiteral("Ordner anlegen"), path, ENOTDIR);
        }
        throw FileError::fromErrno(QStringLiteral("Ordner anlegen"), path, error);
    }
}

void removeItem(const QString &path)
{
    struct stat st {};
    if (::lstat(encoded(path).constData(), &st) != 0) {
        if (errno == ENOENT)
            return;
        throw FileError::fromErrno(QStringLiteral("Löschen"), path, errno);
    }
    if (S_ISDIR(st.st_mode)) {
        if (!QDir(path).removeRecursively())
            throw FileError(QStringLiteral("Löschen"), path, QStringLiteral("Ordner konnte nicht vollständig entfernt werden"));
        return;
    }
    if (::unlink(encoded(path).constData()) != 0 && errno != ENOENT)
        throw FileError::fromErrno(QStringLiteral("Löschen"), path, errno);
}

QStringList listDirectory(const QString &path)
{
    if (!isDirectory(path))
        throw FileError(QStringLiteral("Ordner lesen"), path, QStringLiteral("kein Ordner"));
    QDir dir(path);
    dir.setFilter(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    dir.setSorting(QDir::Name);
    return dir.entryList();
}

int64_t fileSize(const QString &path)
{
    struct stat st {};
    if (::stat(encoded(path).constData(), &st) != 0)
        throw FileError::fromErrno(QStringLiteral("Dateiattribute lesen"), path, errno);
    return st.st_size;
}

int64_t allocatedBytes(const QString &path)
{
    struct stat st {};
    if (::stat(encoded(path).constData(), &st) != 0)
        throw FileError::fromErrno(QStringLiteral("Dateiattribute lesen"), path, errno);
    return int64_t(st.st_blocks) * 512;
}

void copyFileSparse(const QString &source, const QString &target)
{
    Descriptor in(::open(encoded(source).constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        throw FileError::fromErrno(QStringLiteral("Kopieren"), source, errno);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0)
        throw FileError::fromErrno(QStringLiteral("Kopieren"), source, errno);
    if (!S_ISREG(st.st_mode))
        throw FileError(QStringLiteral("Kopieren"), source, QStringLiteral("keine reguläre Datei"));

    const QString temporary = temporarySibling(target);
    const QByteArray temporaryName = encoded(temporary);
    Descriptor out(::open(temporaryName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777));
    if (out.get() < 0)
        throw FileError::fromErrno(QStringLiteral("Kopieren"), target, errno);

    try {
        if (::ioctl(out.get(), FICLONE, in.get()) != 0) {
            if (::ftruncate(out.get(), st.st_size) != 0)
                throw FileError::fromErrno(QStringLiteral("Kopieren"), target, errno);
            copyDataRanges(in.get(), out.get(), st.st_size, source);
        }
        if (::close(out.release()) != 0)
            throw FileError::fromErrno(QStringLiteral("Kopieren"), target, errno);
        if (::rename(temporaryName.constData(), encoded(target).constData()) != 0)
            throw FileError::fromErrno(QStringLiteral("Kopieren"), target, errno);
    } catch (...) {
        ::unlink(temporaryName.constData());
        throw;
    }
}

void createFileExclusively(const QString &path, const QByteArray &bytes)
{
    Descriptor out(::open(encoded(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (out.get() < 0)
        throw FileError::fromErrno(QStringLiteral("Anlegen"), path, errno);
    try {
        writeAll(out.get(), bytes, QStringLiteral("Anlegen"), path);
        if (::close(out.release()) != 0)
            throw FileError::fromErrno(QStringLiteral("Anlegen"), path, errno);
    } catch (...) {
        ::unlink(encoded(path).constData());
        throw;
    }
}

} // namespace trellium
