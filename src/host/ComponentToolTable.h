#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace trellium {

// Every place the agent looks for an outside tool, in search order. A
// candidate without a leading "/" is relative to the components folder.
// Tests replace the table so that nothing depends on the host's /usr.
struct ComponentToolTable {
    QStringList qemuImg;
    QStringList python3;
    QStringList homebrew;
    QStringList xcodeApplications;  // tested for existence only
    QString xcodeSelect;
    QString hdiutil;
    QString ditto;
    QString codesign;
    QString unzip;

    // The fixed places, each tool's Linux places after them.
    static ComponentToolTable standard();

    // The first candidate that is an executable file, as an absolute path.
    static std::optional<QString> firstExecutable(const QStringList &candidates, const QString &componentsDirectory);
    // The first candidate that exists (links followed).
    static std::optional<QString> firstExisting(const QStringList &candidates, const QString &componentsDirectory);
    static bool isExecutableFile(const QString &path);
};

} // namespace trellium
