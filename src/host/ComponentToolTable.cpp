#include "host/ComponentToolTable.h"

#include <QDir>
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
    // Homebrew on Linux: its shared prefix, else the user's own. What it
    // installs must be found where it puts it.
    const QStringList linuxbrew{QStringLiteral("/home/linuxbrew/.linuxbrew/bin/"),
                                QDir::homePath() + QStringLiteral("/.linuxbrew/bin/")};
    const auto inLinuxbrew = [&linuxbrew](const QString &tool) {
        QStringList paths;
        for (const QString &bin : linuxbrew)
            paths << bin + tool;
        return paths;
    };
    ComponentToolTable table;
    table.qemuImg = QStringList{QStringLiteral("QEMU/bin/qemu-img"), QStringLiteral("/opt/homebrew/bin/qemu-img"),
                                QStringLiteral("/usr/local/bin/qemu-img")}
        + inLinuxbrew(QStringLiteral("qemu-img")) + QStringList{QStringLiteral("/usr/bin/qemu-img")};
    table.python3 = QStringList{QStringLiteral("Python/bin/python3"), QStringLiteral("/opt/homebrew/bin/python3"),
                                QStringLiteral("/usr/local/bin/python3"), QStringLiteral("/usr/bin/python3")}
        + inLinuxbrew(QStringLiteral("python3"));
    table.homebrew = QStringList{QStringLiteral("/opt/homebrew/bin/brew"), QStringLiteral("/usr/local/bin/brew")}
        + inLinuxbrew(QStringLiteral("brew"));
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
