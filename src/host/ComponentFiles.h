#pragma once

#include <QString>
#include <QStringList>

namespace trellium {

// File work of the component installers. Everything here blocks: run it on a
// worker.
class ComponentFiles {
public:
    // SHA-256 of a file read in 4 MiB blocks, as 64 lower-case hex digits.
    // Throws FileError.
    static QString sha256(const QString &path);

    // Puts `staged` in the place of `installed`: an existing `installed` is
    // renamed aside first and deleted only once `staged` has moved in; when
    // the move fails it is renamed back, so a working copy always remains.
    // Throws FileError.
    static void replaceDirectory(const QString &staged, const QString &installed);

    // Refuses an archive listing (one entry name a line, as "unzip -Z1"
    // prints it) with an absolute name or a ".." step (ComponentError
    // commandFailed naming the entry). unzip would only strip those steps.
    static void refuseUnsafeEntries(const QByteArray &listing);

    // Refuses a tree that holds a symbolic link anywhere (ComponentError
    // commandFailed naming it).
    static void refuseLinks(const QString &root);

    // `relative` inside `root` must be a regular file reached through real
    // folders (no link on the way); else ComponentError archiveContentMissing.
    // Then it is made executable (0755).
    static void makeToolExecutable(const QString &root, const QString &relative);

    // Refuses `relative` inside `root` unless it is a script or an ELF
    // program for this machine (ComponentError commandFailed saying what it
    // is instead, for example a macOS program), so it is never run.
    static void refuseForeignProgram(const QString &root, const QString &relative);

    // Removes each path with everything in it, ignoring every error.
    static void removeQuietly(const QStringList &paths);
};

} // namespace trellium
