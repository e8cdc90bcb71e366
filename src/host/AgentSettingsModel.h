#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

namespace trellium {

// What the settings window shows of the agent core and changes there: its
// identity and status, the local listener's error, the relay flag and the
// paired devices. The agent core implements it; the window knows nothing
// else of it. Main thread.
class AgentSettingsModel : public QObject {
    Q_OBJECT
public:
    enum class AgentStatus { offline, online, connected, building, failed };
    struct PairedDevice {
        QString id;
        QString name;
        bool operator==(const PairedDevice &) const = default;
    };

    using QObject::QObject;

    virtual QString deviceName() const = 0;
    // The German status line ("Offline", "Online", ...).
    virtual QString status() const = 0;
    virtual AgentStatus agentStatus() const = 0;
    // Set while the local listener cannot run.
    virtual std::optional<QString> serverErrorMessage() const = 0;
    virtual bool isRelayConnected() const = 0;
    virtual QString pairingCode() const = 0;
    // Sorted by name.
    virtual QList<PairedDevice> pairedClients() const = 0;
    // Unpairs the device and closes its connections.
    virtual void removeClient(const QString &id) = 0;
    // The project folder used while the setting is empty.
    virtual QString defaultProjectRoot() const = 0;
    // The relay address used while the setting is empty.
    virtual QString builtInRelayURL() const = 0;

signals:
    // Any of the values above changed.
    void changed();
};

} // namespace trellium
