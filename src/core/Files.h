#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace trellium {

// The agent's root folder: the user's data location (XDG_DATA_HOME, else
// ~/.local/share) + "/TRELLIUM". Formed anew at each call.
QString applicationSupportRoot();

// True when anything (file, folder, link, even a dangling one) is at the path.
bool itemExists(const QString &path);
bool isDirectory(const QString &path);

// All throw FileError with the system's reason.
QByteArray readWholeFile(const QString &path);
// Writes to a temporary file beside the target and renames it into place, so
// readers see the old or the new content, never a part. Any byte that cannot
// be written (a full disk) fails the call and leaves the old file as it was.
void writeFileAtomically(const QString &path, const QByteArray &bytes);
// At most the last `maxBytes` bytes of a regular file. The path is opened
// without following a link and without blocking; a link, folder, FIFO or
// device fails with FileError. For files another party controls.
QByteArray readRegularFileTail(const QString &path, qint64 maxBytes);
void createDirectories(const QString &path);
// Removes a file, link or folder with everything in it; nothing there is no error.
void removeItem(const QString &path);
// Names in a folder, sorted, hidden ones included.
QStringList listDirectory(const QString &path);
int64_t fileSize(const QString &path);
// Blocks actually allocated on disk, in bytes.
int64_t allocatedBytes(const QString &path);

// Copies a file without writing its holes: a reflink where the file system
// offers one, else only the data ranges (SEEK_DATA/SEEK_HOLE with
// copy_file_range) into a file of the same length. The copy is made under a
// temporary name in the target's folder and renamed over the target, so a
// failed copy never leaves a partial file under the real name.
void copyFileSparse(const QString &source, const QString &target);

// Creates a new file with the given content; fails if anything is at the path.
void createFileExclusively(const QString &path, const QByteArray &bytes);

} // namespace trellium
