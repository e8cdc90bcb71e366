#pragma once

#include "relay/RemoteDesktopP2PSignal.h"

#include <QObject>

#include <functional>

namespace trellium {

// The agent's side of the relay: its connection flag and the hook that
// carries peer-to-peer signals to the tablet. The relay's own transport and
// encryption are not part of this build; whatever provides them reports the
// connection with setConnected and takes signals through the sender.
// Main thread only.
class RelayClient : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
public:
    // Seals and sends one signal to the client of its peer-to-peer session.
    using SignalSender = std::function<void(const RemoteDesktopP2PSignal &signal)>;

    explicit RelayClient(QObject *parent = nullptr);

    // True once a relay connection has been started, false after a
    // disconnect or a loss.
    bool isConnected() const { return m_connected; }
    void setConnected(bool connected);

    void setSignalSender(SignalSender sender) { m_sender = std::move(sender); }
    // Hands the signal to the sender; without one it is dropped with a log line.
    void sendSignal(const RemoteDesktopP2PSignal &signal);

signals:
    void isConnectedChanged(bool isConnected);

private:
    bool m_connected = false;
    SignalSender m_sender;
};

} // namespace trellium
