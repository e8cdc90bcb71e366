#pragma once

#include "platform/webrtc/WebRtcEngine.h"

namespace trellium {

// Peer connections over GStreamer's webrtcbin.
class GstWebRtcEngine final : public WebRtcEngine {
public:
    std::unique_ptr<WebRtcPeerConnection> createPeerConnection(const Configuration &configuration,
                                                               const WebRtcVideoSettings &video,
                                                               WebRtcPeerConnection::Callbacks callbacks) override;
};

} // namespace trellium
