#include "host/ComponentFiles.h"

#include "core/Errors.h"
#include "core/Files.h"
#include "host/ComponentError.h"
#include "model/Hex.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trellium {

namespace {

constexpr qint64 kHashBlockBytes = 4 * 1024 * 1024;

// The ELF class and machine of the programs this agent runs as.
#if defined(__x86_64__)
constexpr unsigned char kElfClass = ELFCLASS64;
constexpr uint16_t kElfMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr unsigned char kElfClass = ELFCLASS64;
constexpr uint16_t kElfMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr unsigned char kElfClass = ELFCLASS32;
constexpr uint16_t kElfMachine = EM_386;
#else
constexpr unsigned char kElfClass = ELFCLASSNONE;  // any ELF program
constexpr uint16_t kElfMachine = EM_NONE;
#endif

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

} // namespace

QString ComponentFiles::sha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("Lesen"), path, file.errorString());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray block(kHashBlockBytes, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(block.data(), block.size());
        if (n < 0)
            throw FileError(QStringLiteral("Lesen"), path, file.errorString());
        if (n == 0)
            break;
        hash.addData(QByteArrayView(block.constData(), n));
    }
    return hexString(hash.result()).join(QString());
}

void ComponentFiles::replaceDirectory(const QString &staged, const QString &installed)
{
    const QFileInfo target(installed);
    const QString aside = target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral("-old-")
        + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const bool hadOld = itemExists(installed);
    if (hadOld && std::rename(encoded(installed).constData(), encoded(aside).constData()) != 0)
        throw FileError::fromErrno(QStringLiteral("Umbenennen"), installed, errno);
    if (std::rename(encoded(staged).constData(), encoded(installed).constData()) != 0) {
        const int error = errno;
        if (hadOld)
            std::rename(encoded(aside).constData(), encoded(installed).constData());
        throw FileError::fromErrno(QStringLiteral("Verschieben"), staged, error);
    }
    if (hadOld)
        removeQuietly({aside});
}

void ComponentFiles::refuseUnsafeEntries(const QByteArray &listing)
{
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    for (const QByteArray &line : listing.split('\n')) {
        const QString name = QString::fromUtf8(line.endsWith('\r') ? line.chopped(1) : line);
        if (name.isEmpty())
            continue;
        const bool absolute = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'));
        if (absolute || name.split(separators).contains(QStringLiteral(".."))) {
            throw ComponentError::commandFailed(QStringLiteral("Das Archiv enthält den unzulässigen Eintrag „") + name
                                                + QStringLiteral("“."));
        }
    }
}

void ComponentFiles::refuseLinks(const QString &root)
{
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        if (::lstat(encoded(path).constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
            throw ComponentError::commandFailed(QStringLiteral("Das Archiv enthält den symbolischen Link „")
                                                + path.mid(root.size() + 1) + QStringLiteral("“."));
        }
    }
}

void ComponentFiles::makeToolExecutable(const QString &root, const QString &relative)
{
    const auto missing = [&relative]() { return ComponentError::archiveContentMissing(relative); };
    const QStringList parts = relative.split(QLatin1Char('/'));
    QString path = root;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (parts[i].isEmpty() || parts[i] == QLatin1String(".") || parts[i] == QLatin1String(".."))
            throw missing();
        path += QLatin1Char('/') + parts[i];
        struct stat st {};
        if (::lstat(encoded(path).constData(), &st) != 0)
            throw missing();
        const bool last = i == parts.size() - 1;
        if (last ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode))
            throw missing();
    }
    // Opened without following a link, so only this very file changes.
    const int fd = ::open(encoded(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw FileError::fromErrno(QStringLiteral("Rechte setzen"), path, errno);
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const int result = regular ? ::fchmod(fd, 0755) : -1;
    const int error = errno;
    ::close(fd);
    if (!regular)
        throw missing();
    if (result != 0)
        throw FileError::fromErrno(QStringLiteral("Rechte setzen"), path, error);
}

void ComponentFiles::refuseForeignProgram(const QString &root, const QString &relative)
{
    QFile file(root + QLatin1Char('/') + relative);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("Lesen"), file.fileName(), file.errorString());
    const QByteArray head = file.read(EI_NIDENT + 4);
    // A script runs wherever its interpreter does.
    if (head.startsWith("#!"))
        return;
    QString why = QStringLiteral("ist kein Programm, das auf diesem Rechner läuft.");
    static const QList<QByteArray> machO{QByteArray::fromHex("feedface"), QByteArray::fromHex("feedfacf"),
                                         QByteArray::fromHex("cefaedfe"), QByteArray::fromHex("cffaedfe"),
                                         QByteArray::fromHex("cafebabe"), QByteArray::fromHex("bebafeca")};
    if (machO.contains(head.left(4))) {
        why = QStringLiteral("ist ein macOS-Programm und läuft nicht auf diesem Rechner.");
    } else if (head.size() >= EI_NIDENT + 4 && head.startsWith(ELFMAG)) {
        const bool little = head[EI_DATA] == ELFDATA2LSB;
        const auto byte = [&head](int i) { return uint16_t(uchar(head[i])); };
        const auto half = [&](int i) {
            return little ? uint16_t(byte(i) | byte(i + 1) << 8) : uint16_t(byte(i) << 8 | byte(i + 1));
        };
        // An object file or a core dump is ELF too, but nothing to start.
        const uint16_t type = half(EI_NIDENT);
        if (type == ET_EXEC || type == ET_DYN) {
            if (kElfMachine == EM_NONE || (uchar(head[EI_CLASS]) == kElfClass && half(EI_NIDENT + 2) == kElfMachine
                                           && little == (Q_BYTE_ORDER == Q_LITTLE_ENDIAN)))
                return;
            why = QStringLiteral("ist für eine andere Prozessorarchitektur gebaut und läuft nicht auf diesem Rechner.");
        }
    }
    throw ComponentError::commandFailed(QStringLiteral("„") + relative + QStringLiteral("“ ") + why);
}

void ComponentFiles::removeQuietly(const QStringList &paths)
{
    for (const QString &path : paths) {
        try {
            removeItem(path);
        } catch (...) {
            // Leftovers in temporary folders are harmless.
        }
    }
}

} // namespace trellium
