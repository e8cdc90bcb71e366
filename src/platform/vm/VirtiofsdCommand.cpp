#include "platform/vm/VirtiofsdCommand.h"

#include "core/Errors.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace trellium {

const QString VirtiofsdCommand::readyMessage = QStringLiteral("Waiting for vhost-user socket connection");

QString escapeFuseOptionValue(QString value)
{
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char(','), QStringLiteral("\\,"));
    return value;
}

VirtiofsdCommand VirtiofsdCommand::make(const QemuEnvironment &environment, const Options &options)
{
    const QStringList virtiofsd{
        QStringLiteral("--fd=%1").arg(options.listenDescriptor),
        QStringLiteral("-o"),
        QStringLiteral("source=") + escapeFuseOptionValue(options.directoryPath),
        QStringLiteral("-o"),
        QStringLiteral("cache=auto"),
        QStringLiteral("-o"),
        QStringLiteral("sandbox=") + options.sandbox,
    };
    if (!options.userNamespace)
        return {environment.virtiofsdPath, virtiofsd};

    // The agent's user becomes the guest user; the subordinate ids fill the
    // rest of the namespace from 0, around that hole.
    QStringList wrapped{
        QStringLiteral("--user"),
        QStringLiteral("--map-user=%1").arg(environment.guestUserId),
        QStringLiteral("--map-group=%1").arg(environment.guestGroupId),
        QStringLiteral("--map-users=auto"),
        QStringLiteral("--map-groups=auto"),
        QStringLiteral("--setuid=0"),
        QStringLiteral("--setgid=0"),
        QStringLiteral("--"),
        environment.setprivPath,
        QStringLiteral("--pdeathsig=KILL"),
        QStringLiteral("--"),
        environment.virtiofsdPath,
    };
    wrapped << virtiofsd;
    return {environment.unsharePath, wrapped};
}

Descriptor VirtiofsdCommand::listen(const QString &socketPath)
{
    const QString operation = QStringLiteral("Socket für die Ordnerfreigabe anlegen");
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof(address.sun_path))
        throw FileError::fromErrno(operation, socketPath, ENAMETOOLONG);
    memcpy(address.sun_path, path.constData(), size_t(path.size()));
    Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.isValid())
        throw FileError::fromErrno(operation, socketPath, errno);
    ::unlink(path.constData());
    if (::bind(socket.get(), reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0
        || ::listen(socket.get(), 1) != 0)
        throw FileError::fromErrno(operation, socketPath, errno);
    return socket;
}

bool VirtiofsdCommand::startUntilReady(QProcess &process, Descriptor listener, std::chrono::milliseconds timeout,
                                       QByteArray &errors) const
{
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    const int inherited = listener.get();
    process.setChildProcessModifier([inherited]() {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::fcntl(inherited, F_SETFD, 0);
    });
    QElapsedTimer clock;
    clock.start();
    process.start();
    const bool started = process.waitForStarted(int(timeout.count()));
    listener.reset();
    if (!started) {
        errors += process.errorString().toUtf8();
        return false;
    }
    const QByteArray ready = readyMessage.toUtf8();
    while (!errors.contains(ready) && process.state() == QProcess::Running && clock.elapsed() < timeout.count()) {
        process.waitForReadyRead(100);
        errors += process.readAllStandardError();
    }
    errors += process.readAllStandardError();
    return errors.contains(ready) && process.state() == QProcess::Running;
}

} // namespace trellium
