#pragma once

#include "model/BuildEvent.h"
#include "model/BuildJob.h"
#include "remotedesktop/RemoteDesktopServer.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>
#include <optional>

namespace trellium {

// One client on the local listener: newline-delimited JSON lines in, event
// lines and binary frames out.
class AgentConnection : public QObject, public RemoteDesktopConnection {
    Q_OBJECT
public:
    // Reads at most this much at a time, and closes a connection whose
    // unfinished line grows beyond kMaximumLineBytes.
    static constexpr qint64 kReadChunkBytes = 65536;
    static constexpr qint64 kMaximumLineBytes = 1024 * 1024;

    explicit AgentConnection(QTcpSocket *socket);
    ~AgentConnection() override;

    void send(const QByteArray &message) override;
    qint64 pendingBytes() const override;
    bool isOpen() const override;
    void sendEvent(const BuildEvent &event);
    void close();

    // The paired device on this connection, once known (the pairing
    // handshake is not part of this build, so none ever is).
    QString deviceID() const { return m_deviceID; }

signals:
    void lineReceived(const QByteArray &line);
    void closed();

private:
    void onReadyRead();

    QPointer<QTcpSocket> m_socket;
    QByteArray m_pending;
    QString m_deviceID;
};

// The local TCP listener. Binds 127.0.0.1 unless the user-defaults key
// "trellium.agent.listenAddress" names another address: without the pairing
// handshake a listener on the network would let anyone watch and type.
class AgentServer : public QObject {
    Q_OBJECT
public:
    static constexpr uint16_t kDefaultPort = 9876;
    static constexpr const char *kListenAddressKey = "trellium.agent.listenAddress";

    explicit AgentServer(QObject *parent = nullptr);
    ~AgentServer() override;

    bool isRunning() const { return m_server.isListening(); }
    uint16_t port() const { return m_port; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }

    // Port 0 picks a free one (tests).
    void start(uint16_t port = kDefaultPort);
    void stop();
    void closeConnections(const QString &deviceID);

    using JobHandler = std::function<void(const std::shared_ptr<AgentConnection> &connection, const BuildJob &job)>;
    void setJobHandler(JobHandler handler) { m_jobHandler = std::move(handler); }

    static QHostAddress listenAddress();

signals:
    void runningChanged();

private:
    void onNewConnection();
    void onLine(const std::shared_ptr<AgentConnection> &connection, const QByteArray &line);

    QTcpServer m_server;
    uint16_t m_port = kDefaultPort;
    std::optional<QString> m_errorMessage;
    QList<std::shared_ptr<AgentConnection>> m_connections;
    JobHandler m_jobHandler;
};

} // namespace trellium
