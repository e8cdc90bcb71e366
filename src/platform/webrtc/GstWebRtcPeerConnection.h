#pragma once

#include "core/Async.h"
#include "platform/webrtc/WebRtcEngine.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

using GstElement = struct _GstElement;
using GstWebRTCDataChannel = struct _GstWebRTCDataChannel;

namespace trellium {

struct GstWebRtcCallbacks;

// A peer connection over GStreamer's webrtcbin: appsrc (I420 pictures,
// time-stamped as they arrive) -> videoconvert -> leaky queue -> x264enc ->
// H.264 in the profile of the offer's format -> rtph264pay with its payload
// type -> webrtcbin (max-bundle). webrtcbin signals on its own threads; every
// one of them hops to the main thread before it reaches the callbacks.
class GstWebRtcPeerConnection : public QObject, public WebRtcPeerConnection {
    Q_OBJECT
public:
    // Data-channel messages still waiting for the main thread beyond this
    // many are dropped: a peer must not grow the event queue without bound.
    static constexpr int kMaximumPendingMessages = 256;
    // How long the answer waits for the first picture's caps to reach webrtcbin.
    static constexpr std::chrono::seconds kCapsTimeout{10};

    // Throws DomainError ("WebRTC") when GStreamer lacks an element.
    GstWebRtcPeerConnection(const WebRtcEngine::Configuration &configuration, const WebRtcVideoSettings &video,
                            Callbacks callbacks);
    ~GstWebRtcPeerConnection() override;

    QCoro::Task<void> setRemoteOffer(QString sdp) override;
    QCoro::Task<void> addRemoteCandidate(QString candidate, std::optional<QString> sdpMid, int sdpMLineIndex) override;
    QCoro::Task<std::optional<QString>> createAnswer() override;
    QCoro::Task<void> setLocalAnswer(QString sdp) override;
    void pushPicture(std::shared_ptr<const I420Picture> picture) override;
    // Also ends the operations still waiting for webrtcbin, which a closed
    // webrtcbin never answers.
    void close() override;

    struct Bridge;

private:
    friend struct GstWebRtcCallbacks;

    void buildVideoBranch(const WebRtcH264Format &format);
    void deliverLocalCandidate(unsigned mlineIndex, const QString &candidate);
    void adoptDataChannel(GstWebRTCDataChannel *channel);
    void checkSilence();
    void peerGone(const QString &why);

    Callbacks m_callbacks;
    WebRtcVideoSettings m_video;
    std::chrono::milliseconds m_silenceLimit;
    QTimer m_silence;
    CancelToken m_closing;
    std::shared_ptr<Bridge> m_bridge;
    GstElement *m_pipeline = nullptr;
    GstElement *m_webrtc = nullptr;
    GstElement *m_source = nullptr;
    GstWebRTCDataChannel *m_channel = nullptr;
    bool m_closed = false;
};

} // namespace trellium
