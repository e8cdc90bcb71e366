#pragma once

#include "agent/AgentManager.h"
#include "host/AgentSettingsModel.h"

namespace trellium {

class AgentPairingStore;

// The settings window's view of the agent manager and the pairing store.
class AgentSettingsBridge final : public AgentSettingsModel {
    Q_OBJECT
public:
    AgentSettingsBridge(AgentManager &agent, AgentPairingStore &pairing, QObject *parent = nullptr);

    static AgentStatus modelStatus(AgentManager::AgentStatus status);

    QString deviceName() const override;
    QString status() const override;
    AgentStatus agentStatus() const override;
    std::optional<QString> serverErrorMessage() const override;
    bool isRelayConnected() const override;
    QString pairingCode() const override;
    QList<PairedDevice> pairedClients() const override;
    void removeClient(const QString &id) override;
    QString defaultProjectRoot() const override;
    QString builtInRelayURL() const override;

private:
    AgentManager &m_agent;
    AgentPairingStore &m_pairing;
};

} // namespace trellium
