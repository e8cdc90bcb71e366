#pragma once

#include <QHash>
#include <QUuid>

#include <cstdint>
#include <optional>

namespace trellium {

// Guests are reached through a port that QEMU forwards from 127.0.0.1 to the
// guest's port 22. The machine layer registers it when a machine starts;
// every ssh call for that runtime uses it. Main thread only.
class LinuxSSHPortRegistry {
public:
    static LinuxSSHPortRegistry &shared();

    void setPort(const QUuid &runtimeID, uint16_t port);
    void removePort(const QUuid &runtimeID);
    std::optional<uint16_t> port(const QUuid &runtimeID) const;

private:
    QHash<QUuid, uint16_t> m_ports;
};

} // namespace trellium
