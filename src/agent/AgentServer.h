#pragma once

#include "model/BuildEvent.h"
#include "model/BuildJob.h"
#include "remotedesktop/RemoteDesktopServer.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace trellium {

// One client on the local listener: newline-delimited JSON lines in, event
// lines and binary frames out.
class AgentConnection : public QObject, public RemoteDesktopConnection {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    // Reads at most this much at a time, and closes a connection whose
    // unfinished line grows beyond kMaximumLineBytes.
    static constexpr qint64 kReadChunkBytes = 65536;
    static constexpr qint64 kMaximumLineBytes = 1024 * 1024;

    AgentConnection(QTcpSocket *socket, std::function<Clock::time_point()> clock);
    ~AgentConnection() override;

    void send(const QByteArray &message) override;
    qint64 pendingBytes() const override;
    bool isOpen() const override;
    void sendEvent(const BuildEvent &event);
    // Closes once what was sent is written.
    void close();
    // Closes at once, dropping what was not written.
    void abort();

    // Unique for the life of the process.
    quint64 id() const { return m_id; }
    // The paired device on this connection, once known (the pairing
    // handshake is not part of this build, so none ever is).
    QString deviceID() const { return m_deviceID; }
    // Set by the pairing handshake when the device has authenticated.
    void setDeviceID(const QString &deviceID) { m_deviceID = deviceID; }

    // When the client last sent something (or connected).
    Clock::time_point lastActivity() const { return m_lastActivity; }
    void markActive() { m_lastActivity = m_clock(); }
    // What the agent holds for this client: its unfinished line, what was
    // received and not yet read, what was sent and not yet written.
    qint64 bufferedBytes() const;

signals:
    void lineReceived(const QByteArray &line);
    void closed();
    // More may be buffered than before (after a read or a send).
    void buffered();

private:
    void onReadyRead();

    QPointer<QTcpSocket> m_socket;
    QByteArray m_pending;
    QString m_deviceID;
    quint64 m_id;
    std::function<Clock::time_point()> m_clock;
    Clock::time_point m_lastActivity;
};

// The local TCP listener. Binds 127.0.0.1 unless the user-defaults key
// "trellium.agent.listenAddress" names another address: without the pairing
// handshake a listener on the network would let anyone watch and type.
// Resources a client can hold are bounded: the number of connections, the
// bytes held for all of them together, and the time a client may stay
// silent.
class AgentServer : public QObject {
    Q_OBJECT
public:
    static constexpr uint16_t kDefaultPort = 9876;
    static constexpr const char *kListenAddressKey = "trellium.agent.listenAddress";

    struct Options {
        // The idle watch: every tick, a client silent for longer than the
        // timeout is closed, unless it is being sent a stream.
        std::chrono::milliseconds idleTick = std::chrono::seconds(3);
        std::chrono::milliseconds idleTimeout = std::chrono::seconds(12);
        // Clients beyond this are closed as soon as they connect.
        int maximumConnections = 64;
        // Unfinished lines and unsent output of all clients together; beyond
        // it the client holding the most is closed.
        qint64 maximumBufferedBytes = 16 * 1024 * 1024;
        // After a failed accept (out of descriptors) the listener pauses,
        // from the first delay doubling up to the last.
        std::chrono::milliseconds acceptRetryDelay = std::chrono::milliseconds(50);
        std::chrono::milliseconds maximumAcceptRetryDelay = std::chrono::seconds(2);
        std::function<AgentConnection::Clock::time_point()> clock = [] { return AgentConnection::Clock::now(); };
    };

    explicit AgentServer(QObject *parent = nullptr);
    ~AgentServer() override;

    bool isRunning() const { return m_server.isListening(); }
    uint16_t port() const { return m_port; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    qsizetype connectionCount() const { return m_connections.size(); }

    // Takes effect at the next start.
    void setOptions(Options options) { m_options = std::move(options); }
    const Options &options() const { return m_options; }

    // Port 0 picks a free one (tests).
    void start(uint16_t port = kDefaultPort);
    void stop();
    // Closes every connection of that device (unpairing).
    void closeConnections(const QString &deviceID);
    QList<std::shared_ptr<AgentConnection>> connections() const { return m_connections; }

    using JobHandler = std::function<void(const std::shared_ptr<AgentConnection> &connection, const BuildJob &job)>;
    void setJobHandler(JobHandler handler) { m_jobHandler = std::move(handler); }
    // Whether a stream is being sent to the connection (it is then not idle).
    using StreamingCheck = std::function<bool(const AgentConnection &connection)>;
    void setStreamingCheck(StreamingCheck check) { m_streamingCheck = std::move(check); }

    // One tick of the idle watch (the timer calls it).
    void checkIdle();

    static QHostAddress listenAddress();

signals:
    void runningChanged();
    // A client is gone (or the server stopped); emitted once per client,
    // with the connection still valid during the call.
    void connectionClosed(trellium::AgentConnection *connection);

private:
    void onNewConnection();
    void onAcceptError();
    void onLine(const std::shared_ptr<AgentConnection> &connection, const QByteArray &line);
    void enforceBufferBound();

    Options m_options;
    QTcpServer m_server;
    uint16_t m_port = kDefaultPort;
    std::optional<QString> m_errorMessage;
    QList<std::shared_ptr<AgentConnection>> m_connections;
    JobHandler m_jobHandler;
    StreamingCheck m_streamingCheck;
    QTimer m_idleTimer;
    QTimer m_acceptRetry;
    std::chrono::milliseconds m_acceptDelay{0};
    qsizetype m_refusedConnections = 0;
};

} // namespace trellium
