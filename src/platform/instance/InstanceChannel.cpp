#include "platform/instance/InstanceChannel.h"

#include "core/Descriptor.h"
#include "core/Errors.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace trellium {

namespace {

using Clock = std::chrono::steady_clock;

constexpr qsizetype kMaximumAnswerBytes = 64 * 1024;
const QByteArray kAnswered = QByteArrayLiteral("OK");
const char *const kAnsweredProperty = "trelliumInstanceAnswered";

// A caller sends nothing after its request and keeps its end open until the
// answer comes; an end already closed is a caller that gave up waiting.
bool callerLeft(QLocalSocket *socket)
{
    if (socket->state() != QLocalSocket::ConnectedState)
        return true;
    char byte = 0;
    return ::recv(int(socket->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

bool fitsSocketAddress(const QString &path)
{
    return QFile::encodeName(path).size() <= InstanceChannel::kMaximumSocketPath;
}

// Why the socket's folder is no place to talk to a holder of this user:
// someone else owns it or can enter it, or it is no folder (a link included).
std::optional<QString> whyNotPrivate(const QString &folder)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(folder).constData(), &status) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid())
        return QStringLiteral("kein Ordner dieses Benutzers");
    if ((status.st_mode & 077) != 0)
        return QStringLiteral("auch anderen Benutzern zugänglich");
    return std::nullopt;
}

// The socket's folder: made when missing; a folder someone else owns is
// refused, one others can enter is closed to them.
void ensurePrivateFolder(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    if (::mkdir(encoded.constData(), 0700) != 0 && errno != EEXIST)
        throw FileError::fromErrno(QStringLiteral("Anlegen"), path, errno);
    struct stat status {};
    if (::lstat(encoded.constData(), &status) != 0)
        throw FileError::fromErrno(QStringLiteral("Anlegen"), path, errno);
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid())
        throw FileError(QStringLiteral("Anlegen"), path, QStringLiteral("kein Ordner dieses Benutzers"));
    if ((status.st_mode & 077) != 0 && ::chmod(encoded.constData(), 0700) != 0)
        throw FileError::fromErrno(QStringLiteral("Anlegen"), path, errno);
}

int millisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<decltype(left)>(left, 0, 24 * 3600 * 1000));
}

// Waits for the events on the socket until the deadline; false when it ran out.
bool waitFor(int socket, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd entry{socket, events, 0};
        const int ready = ::poll(&entry, 1, millisecondsLeft(deadline));
        if (ready > 0)
            return true;
        if (ready == 0)
            return false;
        if (errno != EINTR)
            return true; // the following call reports the error
    }
}

InstanceChannel::Result failure(const QString &what, int error)
{
    return {InstanceChannel::Delivery::failed,
            QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error)))};
}

} // namespace

InstanceChannel::InstanceChannel(QObject *parent) : QObject(parent) {}

InstanceChannel::~InstanceChannel()
{
    close();
}

QStringList InstanceChannel::socketPaths(const QString &folder)
{
    const QFileInfo info(folder);
    QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty())
        canonical = QDir::cleanPath(info.absoluteFilePath());
    const QString name = QStringLiteral("instance-")
        + QString::fromLatin1(
              QCryptographicHash::hash(QFile::encodeName(canonical), QCryptographicHash::Sha256).toHex().left(32))
        + QStringLiteral(".sock");

    QStringList paths;
    // A relative runtime folder would name another place for every working
    // folder a launch starts in.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir()) {
        const QString path = QDir::cleanPath(runtime) + QStringLiteral("/trellium/") + name;
        if (fitsSocketAddress(path))
            paths.append(path);
    }
    paths.append(QStringLiteral("/tmp/trellium-%1/").arg(::geteuid()) + name);
    return paths;
}

void InstanceChannel::listen(const QString &socketPath, Handler handler)
{
    listen(socketPath, std::move(handler), Options{});
}

void InstanceChannel::listen(const QString &socketPath, Handler handler, Options options)
{
    close();
    if (!fitsSocketAddress(socketPath))
        throw FileError(QStringLiteral("Anlegen des Sockets"), socketPath, QStringLiteral("der Pfad ist zu lang"));
    ensurePrivateFolder(QFileInfo(socketPath).absolutePath());
    m_handler = std::move(handler);
    m_options = options;
    QLocalServer::removeServer(socketPath);
    auto *server = new QLocalServer(this);
    if (!server->listen(socketPath)) {
        const QString reason = server->errorString();
        delete server;
        throw FileError(QStringLiteral("Anlegen des Sockets"), socketPath, reason);
    }
    if (::chmod(QFile::encodeName(socketPath).constData(), 0600) != 0) {
        const int error = errno;
        delete server;
        throw FileError::fromErrno(QStringLiteral("Anlegen des Sockets"), socketPath, error);
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, &InstanceChannel::onNewConnection);
}

QString InstanceChannel::listenOnFirst(const QStringList &socketPaths, Handler handler, Options options)
{
    QStringList reasons;
    for (const QString &path : socketPaths) {
        try {
            listen(path, handler, options);
            return path;
        } catch (const std::exception &error) {
            reasons.append(describeError(error));
        }
    }
    throw FileError(QStringLiteral("Anlegen des Sockets"), socketPaths.join(QStringLiteral(", ")),
                    reasons.join(QStringLiteral("; ")));
}

void InstanceChannel::close()
{
    // Closing the server removes its socket file.
    delete m_server;
    m_server = nullptr;
}

bool InstanceChannel::isListening() const
{
    return m_server && m_server->isListening();
}

void InstanceChannel::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        // The folder keeps other users out; the peer's user is checked all the same.
        struct ucred peer {};
        socklen_t size = sizeof peer;
        if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0
            || peer.uid != ::geteuid()) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
        QTimer::singleShot(m_options.requestTimeout, socket, [socket]() {
            if (!socket->property(kAnsweredProperty).toBool())
                socket->abort();
        });
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void InstanceChannel::onReadyRead(QLocalSocket *socket)
{
    if (socket->property(kAnsweredProperty).toBool())
        return;
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > m_options.maximumRequestBytes)
            socket->abort();
        return;
    }
    const QByteArray line = socket->readLine(m_options.maximumRequestBytes + 1);
    socket->setProperty(kAnsweredProperty, true);
    // This process was busy past the caller's bound, and the caller told its
    // user that nothing happened: so nothing does.
    if (callerLeft(socket)) {
        socket->abort();
        return;
    }

    QString answer;
    const QJsonDocument document = QJsonDocument::fromJson(line.trimmed());
    QStringList request;
    bool valid = document.isArray();
    for (const QJsonValue &value : document.array()) {
        valid = valid && value.isString();
        request.append(value.toString());
    }
    if (!valid || !line.endsWith('\n')) {
        answer = QStringLiteral("Ungültige Anfrage an den laufenden Prozess.");
    } else {
        try {
            answer = m_handler ? m_handler(request).value_or(QString::fromLatin1(kAnswered)) : QString::fromLatin1(kAnswered);
        } catch (...) {
            answer = describeCurrentException();
        }
    }
    // One line: line feeds inside an error text would end it early.
    answer.replace(QLatin1Char('\n'), QLatin1Char(' '));
    socket->write(answer.toUtf8() + '\n');
    socket->disconnectFromServer();
}

InstanceChannel::Result InstanceChannel::send(const QString &socketPath, const QStringList &request,
                                              std::chrono::milliseconds bound)
{
    const Clock::time_point deadline = Clock::now() + bound;
    const QString folder = QFileInfo(socketPath).absolutePath();
    if (const auto why = whyNotPrivate(folder)) {
        struct stat status {};
        if (::lstat(QFile::encodeName(folder).constData(), &status) != 0 && errno == ENOENT)
            return {Delivery::missing, QStringLiteral("Der Ordner %1 mit dem Socket des laufenden Prozesses fehlt.").arg(folder)};
        return {Delivery::failed, QStringLiteral("Der Ordner des Sockets %1 ist nicht geschützt: %2").arg(socketPath, *why)};
    }
    const QByteArray encodedPath = QFile::encodeName(socketPath);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (encodedPath.size() >= qsizetype(sizeof address.sun_path))
        return {Delivery::failed, QStringLiteral("Der Socket-Pfad ist zu lang: %1").arg(socketPath)};
    std::memcpy(address.sun_path, encodedPath.constData(), size_t(encodedPath.size()));

    Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.isValid())
        return failure(QStringLiteral("Socket"), errno);
    int connected;
    do {
        connected = ::connect(socket.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) {
        if (errno == ENOENT)
            return {Delivery::missing, QStringLiteral("Der Socket %1 des laufenden Prozesses fehlt.").arg(socketPath)};
        // A full backlog (EAGAIN) is a holder that does not accept: tried again like an absent one.
        if (errno == ECONNREFUSED || errno == EAGAIN)
            return {Delivery::unreachable, {}};
        if (errno != EINPROGRESS)
            return failure(socketPath, errno);
        if (!waitFor(socket.get(), POLLOUT, deadline))
            return {Delivery::noAnswer, {}};
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size);
        if (error == ECONNREFUSED || error == ENOENT)
            return {Delivery::unreachable, {}};
        if (error != 0)
            return failure(socketPath, error);
    }
    // The folder keeps other users out only while nobody changes it under
    // this check: the process that listens must be this user's too.
    struct ucred peer {};
    socklen_t peerSize = sizeof peer;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0)
        return failure(socketPath, errno);
    if (peer.uid != ::geteuid())
        return {Delivery::failed, QStringLiteral("Am Socket %1 hört ein Prozess eines anderen Benutzers (Kennung %2); "
                                                 "ihm wurde nichts gesendet.")
                                      .arg(socketPath)
                                      .arg(peer.uid)};

    const QByteArray message = QJsonDocument(QJsonArray::fromStringList(request)).toJson(QJsonDocument::Compact) + '\n';
    qsizetype written = 0;
    while (written < message.size()) {
        const ssize_t n = ::send(socket.get(), message.constData() + written, size_t(message.size() - written), MSG_NOSIGNAL);
        if (n > 0) {
            written += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EPIPE || errno == ECONNRESET)
            return {Delivery::unreachable, {}};
        if (errno != EAGAIN)
            return failure(socketPath, errno);
        if (!waitFor(socket.get(), POLLOUT, deadline))
            return {Delivery::noAnswer, {}};
    }

    QByteArray answer;
    for (;;) {
        if (const qsizetype end = answer.indexOf('\n'); end >= 0) {
            answer.truncate(end);
            if (answer == kAnswered)
                return {Delivery::answered, {}};
            return {Delivery::refused, QString::fromUtf8(answer)};
        }
        if (answer.size() > kMaximumAnswerBytes)
            return {Delivery::failed, QStringLiteral("Die Antwort des laufenden Prozesses ist zu lang.")};
        char buffer[4096];
        const ssize_t n = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            answer.append(buffer, n);
            continue;
        }
        if (n == 0)
            return {Delivery::unreachable, {}};
        if (errno == EINTR)
            continue;
        if (errno == ECONNRESET)
            return {Delivery::unreachable, {}};
        if (errno != EAGAIN)
            return failure(socketPath, errno);
        if (!waitFor(socket.get(), POLLIN, deadline))
            return {Delivery::noAnswer, {}};
    }
}

} // namespace trellium
