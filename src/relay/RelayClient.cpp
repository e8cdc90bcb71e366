#include "relay/RelayClient.h"

#include "core/Log.h"

namespace trellium {

RelayClient::RelayClient(QObject *parent) : QObject(parent) {}

void RelayClient::setConnected(bool connected)
{
    if (m_connected == connected)
        return;
    m_connected = connected;
    emit isConnectedChanged(connected);
}

void RelayClient::sendSignal(const RemoteDesktopP2PSignal &signal)
{
    if (!m_sender) {
        logLine(QStringLiteral("RELAYCLIENT P2P signal dropped (no relay transport):"), enumName(signal.kind));
        return;
    }
    m_sender(signal);
}

} // namespace trellium
