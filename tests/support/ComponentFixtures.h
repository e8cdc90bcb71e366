#pragma once

#include "host/AgentComponentManager.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <ostream>

namespace trellium {
// Readable states in test failures.
void PrintTo(const AgentComponentManager::State &state, std::ostream *out);
} // namespace trellium

namespace trellium::test {

// One entry of a test archive: a file, an executable file or a symbolic link
// (its content is the link's target).
struct ZipEntry {
    enum class Kind { file, executable, link };
    Kind kind = Kind::file;
    QString name;
    QByteArray content;
};

// Waits until the status refresh that creating a manager starts has ended: a
// test that ended with it still probing would leave its tasks suspended.
bool waitForCreationRefresh(const AgentComponentManager &manager);

// Writes a zip archive with exactly these entries (names taken as given, so
// "../x" and links are possible).
void writeZip(const QString &path, const QList<ZipEntry> &entries);

// Puts Blender's and XcodeGen's executables where the component manager
// looks for them (in the test's data folder).
void installManagedComponents();

} // namespace trellium::test
