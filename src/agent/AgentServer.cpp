#include "agent/AgentServer.h"

#include "core/Log.h"
#include "core/Settings.h"

#include <atomic>

namespace trellium {

namespace {

quint64 nextConnectionID()
{
    static std::atomic<quint64> next{1};
    return next++;
}

} // namespace

AgentConnection::AgentConnection(QTcpSocket *socket, std::function<Clock::time_point()> clock)
    : m_socket(socket), m_id(nextConnectionID()), m_clock(std::move(clock)), m_lastActivity(m_clock())
{
    m_socket->setReadBufferSize(kReadChunkBytes);
    // A modest kernel buffer: frames wait in the agent, where back-pressure
    // sees them, rather than adding seconds of latency in the socket.
    m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 512 * 1024);
    connect(m_socket, &QTcpSocket::readyRead, this, &AgentConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &AgentConnection::closed);
}

AgentConnection::~AgentConnection()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
    }
}

void AgentConnection::send(const QByteArray &message)
{
    if (!isOpen())
        return;
    m_socket->write(message);
    emit buffered();
}

qint64 AgentConnection::pendingBytes() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

bool AgentConnection::isOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

qint64 AgentConnection::bufferedBytes() const
{
    if (!m_socket)
        return m_pending.size();
    return m_pending.size() + m_socket->bytesAvailable() + m_socket->bytesToWrite();
}

void AgentConnection::sendEvent(const BuildEvent &event)
{
    send(compactJson(event.toJson(DateStyle::ISO8601)) + '\n');
}

void AgentConnection::close()
{
    if (m_socket)
        m_socket->disconnectFromHost();
}

void AgentConnection::abort()
{
    m_pending.clear();
    if (m_socket)
        m_socket->abort();
}

void AgentConnection::onReadyRead()
{
    markActive();
    while (m_socket && m_socket->bytesAvailable() > 0) {
        const QByteArray chunk = m_socket->read(kReadChunkBytes);
        if (chunk.isEmpty())
            break;
        m_pending.append(chunk);
        qsizetype start = 0;
        for (qsizetype end; (end = m_pending.indexOf('\n', start)) >= 0; start = end + 1) {
            QByteArray line = m_pending.mid(start, end - start);
            if (line.endsWith('\r'))
                line.chop(1);
            if (!line.isEmpty())
                emit lineReceived(line);
            if (!m_socket || !isOpen())
                return;
        }
        m_pending.remove(0, start);
        if (m_pending.size() > kMaximumLineBytes) {
            logLine(QStringLiteral("LOCAL LINE TOO LONG: closing connection"));
            abort();
            return;
        }
    }
    if (!m_pending.isEmpty())
        emit buffered();
}

AgentServer::AgentServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &AgentServer::onNewConnection);
    connect(&m_server, &QTcpServer::acceptError, this, &AgentServer::onAcceptError);
    connect(&m_idleTimer, &QTimer::timeout, this, &AgentServer::checkIdle);
    m_acceptRetry.setSingleShot(true);
    connect(&m_acceptRetry, &QTimer::timeout, this, [this]() {
        if (m_server.isListening())
            m_server.resumeAccepting();
    });
}

AgentServer::~AgentServer()
{
    stop();
}

QHostAddress AgentServer::listenAddress()
{
    const QString configured =
        userDefaults()->value(QString::fromLatin1(kListenAddressKey)).toString().trimmed();
    QHostAddress address(configured);
    return configured.isEmpty() || address.isNull() ? QHostAddress(QHostAddress::LocalHost) : address;
}

void AgentServer::start(uint16_t port)
{
    if (m_server.isListening())
        return;
    if (!m_server.listen(listenAddress(), port)) {
        m_errorMessage = QStringLiteral("Der lokale Server konnte Port %1 nicht öffnen: %2")
                             .arg(port)
                             .arg(m_server.errorString());
        logLine(QStringLiteral("LOCAL SERVER ERROR:"), *m_errorMessage);
        emit runningChanged();
        return;
    }
    m_errorMessage.reset();
    m_port = m_server.serverPort();
    m_acceptDelay = std::chrono::milliseconds(0);
    m_idleTimer.start(m_options.idleTick);
    emit runningChanged();
}

void AgentServer::stop()
{
    m_idleTimer.stop();
    m_acceptRetry.stop();
    if (!m_server.isListening() && m_connections.isEmpty())
        return;
    m_server.close();
    const auto connections = std::exchange(m_connections, {});
    for (const auto &connection : connections) {
        connection->close();
        emit connectionClosed(connection.get());
    }
    emit runningChanged();
}

void AgentServer::closeConnections(const QString &deviceID)
{
    for (const auto &connection : m_connections) {
        if (!deviceID.isEmpty() && connection->deviceID() == deviceID)
            connection->close();
    }
}

void AgentServer::checkIdle()
{
    const auto now = m_options.clock();
    int closed = 0;
    for (const auto &connection : std::as_const(m_connections)) {
        if (!connection->isOpen())
            continue;
        // The idle time of a client that was watching starts when its stream ends.
        if (m_streamingCheck && m_streamingCheck(*connection)) {
            connection->markActive();
            continue;
        }
        if (now - connection->lastActivity() > m_options.idleTimeout) {
            connection->abort();
            ++closed;
        }
    }
    if (closed > 0)
        logLine(QStringLiteral("LOCAL IDLE: closed %1 connections silent for more than %2 s")
                    .arg(closed)
                    .arg(double(m_options.idleTimeout.count()) / 1000.0));
}

void AgentServer::onNewConnection()
{
    if (m_acceptDelay.count() > 0) {
        m_acceptDelay = std::chrono::milliseconds(0);
        logLine(QStringLiteral("LOCAL ACCEPT: accepting connections again"));
    }
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        if (m_connections.size() >= m_options.maximumConnections) {
            // Closed at once rather than left waiting: the client learns now.
            if (m_refusedConnections++ == 0)
                logLine(QStringLiteral("LOCAL CONNECTION LIMIT: %1 connections open, refusing more")
                            .arg(m_connections.size()));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        if (m_refusedConnections > 0) {
            logLine(QStringLiteral("LOCAL CONNECTION LIMIT: %1 connections were refused").arg(m_refusedConnections));
            m_refusedConnections = 0;
        }
        auto connection = std::make_shared<AgentConnection>(socket, m_options.clock);
        m_connections.append(connection);
        std::weak_ptr<AgentConnection> weak = connection;
        connect(connection.get(), &AgentConnection::lineReceived, this, [this, weak](const QByteArray &line) {
            if (auto strong = weak.lock())
                onLine(strong, line);
        });
        connect(connection.get(), &AgentConnection::buffered, this, &AgentServer::enforceBufferBound);
        connect(connection.get(), &AgentConnection::closed, this, [this, weak]() {
            // Dropped after the signal returns: the socket is still emitting.
            QMetaObject::invokeMethod(
                this,
                [this, weak]() {
                    if (auto strong = weak.lock(); strong && m_connections.removeAll(strong) > 0)
                        emit connectionClosed(strong.get());
                },
                Qt::QueuedConnection);
        });
    }
}

void AgentServer::onAcceptError()
{
    // Qt has paused the listener; try again later instead of never (or, at
    // a descriptor limit, at once and forever).
    m_server.pauseAccepting();
    const bool first = m_acceptDelay.count() == 0;
    m_acceptDelay = first ? m_options.acceptRetryDelay
                          : std::min(m_acceptDelay * 2, m_options.maximumAcceptRetryDelay);
    if (first)
        logLine(QStringLiteral("LOCAL ACCEPT ERROR:"), m_server.errorString());
    m_acceptRetry.start(m_acceptDelay);
}

void AgentServer::enforceBufferBound()
{
    for (;;) {
        qint64 total = 0;
        AgentConnection *largest = nullptr;
        qint64 largestBytes = -1;
        AgentConnection *streaming = nullptr;
        for (const auto &connection : std::as_const(m_connections)) {
            if (!connection->isOpen())
                continue;
            const qint64 bytes = connection->bufferedBytes();
            total += bytes;
            // The stream's own back-pressure bounds what it holds: close it
            // only when nothing else is left to close.
            if (m_streamingCheck && m_streamingCheck(*connection)) {
                streaming = connection.get();
                continue;
            }
            if (bytes > largestBytes) {
                largest = connection.get();
                largestBytes = bytes;
            }
        }
        if (total <= m_options.maximumBufferedBytes)
            return;
        AgentConnection *victim = largest && largestBytes > 0 ? largest : streaming;
        if (!victim)
            return;
        logLine(QStringLiteral("LOCAL BUFFER LIMIT: %1 bytes held for all clients, closing one holding %2")
                    .arg(total)
                    .arg(victim->bufferedBytes()));
        victim->abort();
    }
}

void AgentServer::onLine(const std::shared_ptr<AgentConnection> &connection, const QByteArray &line)
{
    BuildJob job;
    try {
        job = BuildJob::fromJson(parseJsonObject(line), DateStyle::ISO8601);
    } catch (const std::exception &error) {
        // An undecodable line is not answered.
        logLine(QStringLiteral("LOCAL JOB DECODE ERROR:"), describeError(error));
        return;
    }
    if (m_jobHandler)
        m_jobHandler(connection, job);
}

} // namespace trellium
