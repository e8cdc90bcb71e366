#pragma once

#include "platform/video/I420Picture.h"
#include "platform/webrtc/WebRtcH264Format.h"

#include <QByteArray>
#include <QString>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace trellium {

// What the video track sends: the picture size, the rate pictures arrive at,
// the encoder's bitrate, the offer's format it answers with (none: the offer
// has none the encoder can produce) and the ids the answer gives the track.
struct WebRtcVideoSettings {
    int width = 1280;
    int height = 720;
    int fps = 30;
    int64_t bitrate = 4'000'000;
    std::optional<WebRtcH264Format> format;
    QString trackID;
    QString streamID;
};

// One answering peer connection with one outgoing video track and the data
// channels the peer opens. Every callback runs on the main thread; the
// connection's methods are called there too.
class WebRtcPeerConnection {
public:
    struct Callbacks {
        // A local ICE candidate ("candidate:..." text), its media id when
        // known and its media line index.
        std::function<void(QString candidate, std::optional<QString> sdpMid, int sdpMLineIndex)> onLocalCandidate;
        // The ICE connection state (0 new, 1 checking, 2 connected, 3
        // completed, 4 failed, 5 disconnected, 6 closed).
        std::function<void(int state)> onIceConnectionStateChanged;
        std::function<void()> onDataChannelOpened;
        // One data-channel message; isText tells text from binary messages.
        std::function<void(QByteArray bytes, bool isText)> onDataChannelMessage;
        // The peer left without a word: it closed a data channel, or sent
        // nothing at all (no RTCP, no data) for the configured silence limit
        // after the answer was set.
        std::function<void(QString why)> onPeerGone;
    };

    virtual ~WebRtcPeerConnection() = default;

    // Applies the peer's offer, with the video track set up to answer it.
    virtual QCoro::Task<void> setRemoteOffer(QString sdp) = 0;
    // Adds one remote candidate; empty candidate texts are ignored.
    virtual QCoro::Task<void> addRemoteCandidate(QString candidate, std::optional<QString> sdpMid,
                                                 int sdpMLineIndex) = 0;
    // The answer's SDP text; none when the engine gave neither an answer nor an error.
    virtual QCoro::Task<std::optional<QString>> createAnswer() = 0;
    virtual QCoro::Task<void> setLocalAnswer(QString sdp) = 0;
    // One picture for the video track, of the track's size; others are
    // dropped. The engine may hold it while it encodes: it is never written
    // while shared.
    virtual void pushPicture(std::shared_ptr<const I420Picture> picture) = 0;
    // Ends the connection; no callback runs afterwards. Safe to call twice.
    virtual void close() = 0;
};

} // namespace trellium
