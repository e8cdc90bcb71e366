#include "platform/webrtc/GstWebRtcEngine.h"

#include "core/Log.h"
#include "platform/webrtc/GstWebRtcPeerConnection.h"

namespace trellium {

std::unique_ptr<WebRtcPeerConnection> GstWebRtcEngine::createPeerConnection(const Configuration &configuration,
                                                                            const WebRtcVideoSettings &video,
                                                                            WebRtcPeerConnection::Callbacks callbacks)
{
    try {
        return std::make_unique<GstWebRtcPeerConnection>(configuration, video, std::move(callbacks));
    } catch (const std::exception &error) {
        logLine(QStringLiteral("WEBRTC peer connection failed:"), describeError(error));
        return nullptr;
    }
}

} // namespace trellium
