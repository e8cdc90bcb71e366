#pragma once

#include "agent/AgentServer.h"
#include "model/RemoteDesktopQuality.h"
#include "runtime/RuntimeManager.h"

#include <QObject>
#include <QSize>

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
    RuntimeManager &runtimeManager() { return *m_runtimeManager; }

    // Recovers interrupted runtimes once per process, then listens.
    void start(uint16_t port = AgentServer::kDefaultPort);
    void stop();

    void handleLocalJob(const std::shared_ptr<AgentConnection> &connection, const BuildJob &job);

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

signals:
    void agentStatusChanged();
    void statusChanged();

private:
    void setStatus(AgentStatus status, const QString &text);

    AgentStatus m_agentStatus = AgentStatus::offline;
    QString m_status = QStringLiteral("Offline");
    AgentServer m_server;
    std::unique_ptr<RuntimeManager> m_runtimeManager;
    std::unique_ptr<RuntimeDesktopInputController> m_input;
    bool m_recovered = false;
};

} // namespace trellium
