#pragma once

#include "core/Descriptor.h"
#include "platform/vm/QemuEnvironment.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>

namespace trellium {

// The command line of virtiofsd serving one folder. A value: building it
// starts nothing.
//
// virtiofsd gets its vhost-user socket already listening (--fd), so it
// writes no pid file (which would need /run) and is ready as soon as it says
// it waits for a connection. Where it runs in a user namespace, unshare maps
// the ids and setpriv renews the parent-death signal, which the change to
// the namespace's root clears: the share still dies with the agent.
class VirtiofsdCommand {
public:
    struct Options {
        QString directoryPath;  // absolute
        int listenDescriptor = -1;
        QString sandbox;  // "namespace" or "chroot"
        bool userNamespace = false;
    };

    static VirtiofsdCommand make(const QemuEnvironment &environment, const Options &options);
    // A listening Unix socket at the path (anything there is replaced), to be
    // handed to virtiofsd. Throws FileError.
    static Descriptor listen(const QString &socketPath);

    QString program;
    QStringList arguments;

    // Runs the command in the process, handing it the listening socket, and
    // waits on this thread until virtiofsd is ready (true) or has ended or the
    // time is up (false). What it printed meanwhile lands in `errors`.
    bool startUntilReady(QProcess &process, Descriptor listener, std::chrono::milliseconds timeout,
                         QByteArray &errors) const;

    // What virtiofsd prints on standard error once it accepts the connection.
    static const QString readyMessage;
};

// virtiofsd parses -o like FUSE: commas separate options, a backslash escapes.
QString escapeFuseOptionValue(QString value);

} // namespace trellium
