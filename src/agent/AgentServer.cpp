#include "agent/AgentServer.h"

#include "core/Log.h"
#include "core/Settings.h"

namespace trellium {

AgentConnection::AgentConnection(QTcpSocket *socket) : m_socket(socket)
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
    if (isOpen())
        m_socket->write(message);
}

qint64 AgentConnection::pendingBytes() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

bool AgentConnection::isOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
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

void AgentConnection::onReadyRead()
{
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
            if (!m_socket)
                return;
        }
        m_pending.remove(0, start);
        if (m_pending.size() > kMaximumLineBytes) {
            logLine(QStringLiteral("LOCAL LINE TOO LONG: closing connection"));
            m_pending.clear();
            m_socket->abort();
            return;
        }
    }
}

AgentServer::AgentServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &AgentServer::onNewConnection);
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
    emit runningChanged();
}

void AgentServer::stop()
{
    if (!m_server.isListening() && m_connections.isEmpty())
        return;
    m_server.close();
    const auto connections = std::exchange(m_connections, {});
    for (const auto &connection : connections)
        connection->close();
    emit runningChanged();
}

void AgentServer::closeConnections(const QString &deviceID)
{
    for (const auto &connection : m_connections) {
        if (!deviceID.isEmpty() && connection->deviceID() == deviceID)
            connection->close();
    }
}

void AgentServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto connection = std::make_shared<AgentConnection>(socket);
        m_connections.append(connection);
        std::weak_ptr<AgentConnection> weak = connection;
        connect(connection.get(), &AgentConnection::lineReceived, this, [this, weak](const QByteArray &line) {
            if (auto strong = weak.lock())
                onLine(strong, line);
        });
        connect(connection.get(), &AgentConnection::closed, this, [this, weak]() {
            // Dropped after the signal returns: the socket is still emitting.
            QMetaObject::invokeMethod(
                this,
                [this, weak]() {
                    if (auto strong = weak.lock())
                        m_connections.removeAll(strong);
                },
                Qt::QueuedConnection);
        });
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
