#include "agent/AgentSettingsBridge.h"

#include "agent/AgentPairingStore.h"
#include "agent/ProjectRoot.h"

namespace trellium {

AgentSettingsBridge::AgentSettingsBridge(AgentManager &agent, AgentPairingStore &pairing, QObject *parent)
    : AgentSettingsModel(parent), m_agent(agent), m_pairing(pairing)
{
    connect(&m_agent, &AgentManager::statusChanged, this, &AgentSettingsModel::changed);
    connect(&m_agent, &AgentManager::agentStatusChanged, this, &AgentSettingsModel::changed);
    connect(&m_agent.server(), &AgentServer::runningChanged, this, &AgentSettingsModel::changed);
    connect(&m_agent.relayClient(), &RelayClient::isConnectedChanged, this, &AgentSettingsModel::changed);
    connect(&m_pairing, &AgentPairingStore::pairedClientsChanged, this, &AgentSettingsModel::changed);
}

AgentSettingsModel::AgentStatus AgentSettingsBridge::modelStatus(AgentManager::AgentStatus status)
{
    switch (status) {
    case AgentManager::AgentStatus::offline:
        return AgentStatus::offline;
    case AgentManager::AgentStatus::online:
        return AgentStatus::online;
    case AgentManager::AgentStatus::connected:
        return AgentStatus::connected;
    case AgentManager::AgentStatus::building:
        return AgentStatus::building;
    case AgentManager::AgentStatus::failed:
        return AgentStatus::failed;
    }
    return AgentStatus::offline;
}

QString AgentSettingsBridge::deviceName() const
{
    return m_agent.deviceName();
}

QString AgentSettingsBridge::status() const
{
    return m_agent.status();
}

AgentSettingsModel::AgentStatus AgentSettingsBridge::agentStatus() const
{
    return modelStatus(m_agent.agentStatus());
}

std::optional<QString> AgentSettingsBridge::serverErrorMessage() const
{
    return m_agent.server().errorMessage();
}

bool AgentSettingsBridge::isRelayConnected() const
{
    return m_agent.relayClient().isConnected();
}

QString AgentSettingsBridge::pairingCode() const
{
    return m_pairing.pairingCode();
}

QList<AgentSettingsModel::PairedDevice> AgentSettingsBridge::pairedClients() const
{
    QList<PairedDevice> devices;
    for (const PairedAgentClient &client : m_pairing.pairedClients())
        devices.append({client.id, client.name});
    return devices;
}

void AgentSettingsBridge::removeClient(const QString &id)
{
    m_pairing.removeClient(id);
}

QString AgentSettingsBridge::defaultProjectRoot() const
{
    return defaultProjectRootURL();
}

QString AgentSettingsBridge::builtInRelayURL() const
{
    return AgentManager::builtInRelayURL().toString();
}

} // namespace trellium
