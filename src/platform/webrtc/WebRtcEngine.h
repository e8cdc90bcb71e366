#pragma once

#include "platform/webrtc/WebRtcPeerConnection.h"

#include <QString>

#include <chrono>
#include <memory>

namespace trellium {

// Makes peer connections. Main thread.
class WebRtcEngine {
public:
    struct Configuration {
        // "host:port" of a STUN server; empty for none.
        QString stunServer;
        // How long a connected peer may send nothing before it counts as gone.
        std::chrono::milliseconds silenceLimit{std::chrono::seconds(15)};
    };

    virtual ~WebRtcEngine() = default;
    // None when the engine cannot make one.
    virtual std::unique_ptr<WebRtcPeerConnection> createPeerConnection(const Configuration &configuration,
                                                                       const WebRtcVideoSettings &video,
                                                                       WebRtcPeerConnection::Callbacks callbacks) = 0;
};

} // namespace trellium
