#include "host/ComponentToolTable.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace trellium {

namespace {

QString resolved(const QString &candidate, const QString &componentsDirectory)
{
    if (candidate.startsWith(QLatin1Char('/')))
        return candidate;
    return componentsDirectory + QLatin1Char('/') + candidate;
}

} // namespace

ComponentToolTable ComponentToolTable::standard()
{
    ComponentToolTable table;
    table.qemuImg = {QStringLiteral("QEMU/bin/qemu-img"), QStringLiteral("/opt/homebrew/bin/qemu-img"),
                     QStringLiteral("/usr/local/bin/qemu-img"), QStringLiteral("/usr/bin/qemu-img")};
    table.python3 = {QStringLiteral("Python/bin/python3"), QStringLiteral("/opt/homebrew/bin/python3"),
                     QStringLiteral("/usr/local/bin/python3"), QStringLiteral("/usr/bin/python3")};
    table.homebrew = {QStringLiteral("/opt/homebrew/bin/brew"), QStringLiteral("/usr/local/bin/brew"),
                      QStringLiteral("/home/linuxbrew/.linuxbrew/bin/brew")};
    table.xcodeApplications = {QStringLiteral("/Applications/Xcode.app"), QStringLiteral("/Applications/Xcode 26.app")};
    table.xcodeSelect = QStringLiteral("/usr/bin/xcode-select");
    table.hdiutil = QStringLiteral("/usr/bin/hdiutil");
    table.ditto = QStringLiteral("/usr/bin/ditto");
    table.codesign = QStringLiteral("/usr/bin/codesign");
    table.unzip = QStringLiteral("/usr/bin/unzip");
    return table;
}

bool ComponentToolTable::isExecutableFile(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    return ::stat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) && ::access(name.constData(), X_OK) == 0;
}

std::optional<QString> ComponentToolTable::firstExecutable(const QStringList &candidates,
                                                           const QString &componentsDirectory)
{
    for (const QString &candidate : candidates) {
        const QString path = resolved(candidate, componentsDirectory);
        if (isExecutableFile(path))
            return path;
    }
    return std::nullopt;
}

std::optional<QString> ComponentToolTable::firstExisting(const QStringList &candidates,
                                                         const QString &componentsDirectory)
{
    for (const QString &candidate : candidates) {
        const QString path = resolved(candidate, componentsDirectory);
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) == 0)
            return path;
    }
    return std::nullopt;
}

} // namespace trellium
