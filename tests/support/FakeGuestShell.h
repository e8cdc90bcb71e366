#pragma once

#include "core/Process.h"

#include <QString>

namespace trellium::test {

// A guest's shell in miniature, for running the scripts the agent sends or
// writes into a guest: bash with only the tools the test provides on PATH
// (fakes, or a few host tools linked in), and the guest's absolute paths
// moved below a folder of the test.
class FakeGuestShell {
public:
    explicit FakeGuestShell(QString root);

    // A fake tool: a bash script with this body.
    void tool(const QString &name, const QString &body);
    // Makes the host's own tools (from /usr/bin or /bin) available by name.
    void hostTools(const QStringList &names);
    // Creates a file at the guest path (below the root), with its folders.
    void file(const QString &guestPath, const QByteArray &content = {});
    QString path(const QString &guestPath) const { return m_root + guestPath; }

    // The script with /etc/, /home/, /usr/ and /var/ below the root.
    QString rooted(QString script) const;
    // Runs the (rooted) script with bash; extra environment as NAME=value.
    ProcessResult run(const QString &script, const QStringList &environment = {}) const;

private:
    QString m_root;
};

} // namespace trellium::test
