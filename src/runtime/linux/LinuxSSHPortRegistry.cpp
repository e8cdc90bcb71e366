#include "runtime/linux/LinuxSSHPortRegistry.h"

namespace trellium {

LinuxSSHPortRegistry &LinuxSSHPortRegistry::shared()
{
    static LinuxSSHPortRegistry registry;
    return registry;
}

void LinuxSSHPortRegistry::setPort(const QUuid &runtimeID, uint16_t port)
{
    m_ports.insert(runtimeID, port);
}

void LinuxSSHPortRegistry::removePort(const QUuid &runtimeID)
{
    m_ports.remove(runtimeID);
}

std::optional<uint16_t> LinuxSSHPortRegistry::port(const QUuid &runtimeID) const
{
    const auto it = m_ports.constFind(runtimeID);
    if (it == m_ports.constEnd())
        return std::nullopt;
    return *it;
}

} // namespace trellium
