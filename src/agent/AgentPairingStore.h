#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace trellium {

class SecretStore;

struct PairedAgentClient {
    QString id;
    QString name;
    bool operator==(const PairedAgentClient &) const = default;
};

// The paired devices and the pairing code the tablet types in. Main thread.
class AgentPairingStore : public QObject {
    Q_OBJECT
public:
    static constexpr const char *kKeychainService = "com.duzederevezaz.trellium.buildagent.pairing";
    static constexpr const char *kPairedNamesKey = "ZEDOVIDIVeruzIreroPairedNames";

    static AgentPairingStore &shared();
    explicit AgentPairingStore(std::shared_ptr<SecretStore> secrets, QObject *parent = nullptr);

    QString pairingCode() const { return m_pairingCode; }
    // Sorted by name.
    QList<PairedAgentClient> pairedClients() const { return m_pairedClients; }

    // Unpairs a device: deletes its secret and peer key, forgets its name,
    // republishes the list and closes the device's connections.
    void removeClient(const QString &id);

    // Called by removeClient for the device's open connections.
    void setConnectionCloser(std::function<void(const QString &deviceID)> closer) { m_closeConnections = std::move(closer); }
    void reload();

signals:
    void pairedClientsChanged();

private:
    std::shared_ptr<SecretStore> m_secrets;
    QString m_pairingCode;
    QList<PairedAgentClient> m_pairedClients;
    std::function<void(const QString &)> m_closeConnections;
};

} // namespace trellium
