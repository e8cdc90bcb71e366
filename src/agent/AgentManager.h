#pragma once

#include "agent/AgentServer.h"
#include "host/AgentCheckService.h"
#include "model/RemoteDesktopQuality.h"
#include "relay/RelayClient.h"
#include "relay/RemoteDesktopP2PSignal.h"
#include "remotedesktop/RemoteDesktopRuntimes.h"
#include "runtime/RuntimeManager.h"

#include <QObject>
#include <QSize>
#include <QUrl>

#include <memory>

namespace trellium {

class RuntimeDesktopInputController;

// The agent's one manager: its status, the local listener and the runtime
// manager, and the local remote-desktop jobs. Main thread.
class AgentManager : public QObject {
    Q_OBJECT
public:
    enum class AgentStatus { offline, online, connected, building, failed };

    static AgentManager &shared();
    explicit AgentManager(QObject *parent = nullptr);
    ~AgentManager() override;

    AgentStatus agentStatus() const { return m_agentStatus; }
    QString status() const { return m_status; }
    QString deviceName() const;

    AgentServer &server() { return m_server; }
    RelayClient &relayClient() { return m_relayClient; }
    RuntimeManager &runtimeManager() { return *m_runtimeManager; }

    // Recovers interrupted runtimes once per process, then listens.
    void start(uint16_t port = AgentServer::kDefaultPort);
    void stop();

    // The user-defaults key of the relay address; empty selects the built-in one.
    static constexpr const char *kRelayURLKey = "DADUVAVUDedurOrazedudizoROROziduroz";
    static QUrl builtInRelayURL();
    // The relay address as read at the last start: the key's trimmed value,
    // the built-in address when it is empty, none when it is not a WebSocket
    // address (the status then says "Relay-URL ungültig").
    std::optional<QUrl> relayConnectionURL() const { return m_relayConnectionURL; }
    static std::optional<QUrl> readRelayConnectionURL();

    // The WebRTC session's signals to its client, over the relay.
    void sendP2PSignalViaRelay(const RemoteDesktopP2PSignal &signal);
    // One decrypted peer-to-peer signal from the relay, for the WebRTC
    // session; a failure is printed.
    void handleP2PSignal(const RemoteDesktopP2PSignal &signal);

    void handleLocalJob(const std::shared_ptr<AgentConnection> &connection, const BuildJob &job);

    // "offline", "online", ...: the status as the system check names it.
    static QString agentStatusName(AgentStatus status);
    // The published values the system check reads, as they are now.
    AgentCheckService::AgentSnapshot checkSnapshot();
    // The system check of this agent and its host (the status menu's "Systemcheck").
    QCoro::Task<SystemCheckResult> runSystemCheck();

    // The stream a startRemoteDesktopVideo job asks for.
    struct VideoRequest {
        RemoteDesktopSource source;
        int width = 0;
        int height = 0;
        int fps = 30;
        int64_t bitrate = 0;
    };
    VideoRequest videoRequest(const BuildJob &job) const;
    static QSize scaledRuntimeSize(int64_t baseWidth, int64_t baseHeight, RemoteDesktopQuality quality);
    // The runtime manager's machines and records as the remote desktop reads them.
    static RemoteDesktopRuntimes remoteDesktopRuntimes(RuntimeManager &manager);

signals:
    void agentStatusChanged();
    void statusChanged();

private:
    void setStatus(AgentStatus status, const QString &text);

    AgentStatus m_agentStatus = AgentStatus::offline;
    QString m_status = QStringLiteral("Offline");
    AgentServer m_server;
    RelayClient m_relayClient;
    std::optional<QUrl> m_relayConnectionURL;
    std::unique_ptr<RuntimeManager> m_runtimeManager;
    std::unique_ptr<RuntimeDesktopInputController> m_input;
    bool m_recovered = false;
};

} // namespace trellium
