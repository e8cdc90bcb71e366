#pragma once

#include "core/Async.h"
#include "model/RemoteDesktopInputEvent.h"
#include "platform/video/I420Picture.h"
#include "platform/webrtc/WebRtcEngine.h"
#include "relay/RemoteDesktopP2PSignal.h"

#include <QList>
#include <QObject>
#include <QSize>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

namespace trellium {

// The agent's side of a peer-to-peer remote desktop: answers the tablet's
// offer, trades ICE candidates through the relay's signals, feeds a
// runtime's screen into the video track and hands data-channel input to the
// input controller. The tablet always offers; the agent answers. One
// session at a time; main thread only.
class RemoteDesktopWebRTCSession : public QObject {
    Q_OBJECT
public:
    using SignalHandler = std::function<void(const RemoteDesktopP2PSignal &signal)>;
    using StateHandler = std::function<void(int iceConnectionState)>;
    // The runtime's screen at exactly width x height, or none.
    using PictureSource = std::function<std::shared_ptr<const I420Picture>(QUuid runtimeID, int width, int height)>;
    using InputHandler = std::function<void(QUuid runtimeID, const RemoteDesktopInputEvent &event)>;
    using InputEndHandler = std::function<void(QUuid runtimeID)>;

    static constexpr int kFramesPerSecond = 30;
    static constexpr int kDefaultWidth = 1280;
    static constexpr int kDefaultHeight = 720;
    // Offer sizes are held to this range (shrunk keeping their shape): a
    // peer's size must not make the agent allocate gigabytes per picture.
    static constexpr int kMinimumSide = 16;
    static constexpr int kMaximumSide = 3840;
    // The ids the answer gives the video track and its stream.
    static constexpr const char *kTrackID = "trellium-remote-desktop";
    static constexpr const char *kStreamID = "trellium-rd";
    // Larger data-channel messages are ignored, as the local connection
    // refuses longer lines.
    static constexpr qsizetype kMaximumMessageBytes = 1024 * 1024;
    // Remote candidates waiting for the offer beyond this many are dropped.
    static constexpr qsizetype kMaximumPendingCandidates = 256;
    // The user-defaults key of the STUN server ("host:port"; empty for none).
    static constexpr const char *kStunServerKey = "trellium.agent.webrtc.stunServer";
    static constexpr const char *kDefaultStunServer = "stun.l.google.com:19302";
    // The ICE connection state after which the session closes itself.
    static constexpr int kIceConnectionFailed = 4;

    struct Dependencies {
        std::shared_ptr<WebRtcEngine> engine;
        PictureSource pictures;
        QString stunServer;
        // A connected tablet that sends nothing (no RTCP receiver report, no
        // data) for this long is gone: its session ends as with a cancel.
        std::chrono::milliseconds peerSilenceLimit = WebRtcEngine::Configuration().silenceLimit;
    };

    // Created on first use over GStreamer, the runtime display host's
    // snapshots and the STUN server of the user defaults.
    static RemoteDesktopWebRTCSession &shared();
    explicit RemoteDesktopWebRTCSession(Dependencies dependencies, QObject *parent = nullptr);
    ~RemoteDesktopWebRTCSession() override;

    // Sends a signal to the session's client (set by the agent manager).
    SignalHandler onSignal;
    StateHandler onStateChange;
    // Where data-channel input goes (the agent's input controller).
    InputHandler onInput;
    // The session showing this runtime ended (cancel, a new offer, a failed
    // connection, a peer gone, close): whatever its input still holds down in
    // the guest must be let go, or a key pressed before the peer vanished
    // repeats forever.
    InputEndHandler onInputEnded;

    // One decrypted signal from the relay. Fails as acceptOffer does for an
    // offer; signals of another session are ignored.
    QCoro::Task<void> handleSignal(RemoteDesktopP2PSignal signal);
    // Throws DomainError "RemoteDesktopP2P" 1 (incomplete offer, nothing
    // changed), 2 (no peer connection, or an answer that sends no video),
    // 3 (no answer), or the engine's error; a failed offer leaves no
    // session behind.
    QCoro::Task<void> acceptOffer(RemoteDesktopP2PSignal offer);
    void close();

    std::optional<QUuid> activeSessionID() const { return m_activeSessionID; }
    std::optional<QUuid> activeRuntimeID() const { return m_activeRuntimeID; }
    bool isCapturing() const { return m_captureToken.has_value(); }
    QSize streamSize() const { return m_streamSize; }
    int64_t streamBitrate() const { return m_streamBitrate; }

    // The offer's size, 1280 x 720 where it names none, each side even and
    // at least kMinimumSide, shrunk keeping its shape to at most kMaximumSide.
    static QSize offeredSize(std::optional<int64_t> width, std::optional<int64_t> height);
    // The local stream's bitrate for the first quality whose picture has at
    // least this many pixels (the highest quality's beyond them all).
    static int64_t bitrateForSize(QSize size);
    static QString stunServerSetting();
    // Pictures of the runtime display host's views, converted where they changed.
    static PictureSource displayHostPictures();

private:
    QCoro::Task<void> addRemoteCandidate(RemoteDesktopP2PSignal signal);
    QCoro::Task<void> captureLoop(QUuid runtimeID, QSize size, CancelToken token);
    WebRtcPeerConnection::Callbacks peerCallbacks(uint64_t generation);
    void sendSignal(const RemoteDesktopP2PSignal &signal);
    void handleDataChannelMessage(const QByteArray &bytes, bool isText);

    Dependencies m_dependencies;
    std::unique_ptr<WebRtcPeerConnection> m_peer;
    std::optional<CancelToken> m_captureToken;
    std::optional<QUuid> m_activeSessionID;
    std::optional<QUuid> m_activeRuntimeID;
    QList<RemoteDesktopP2PSignal> m_pendingLocalCandidates;
    QList<RemoteDesktopP2PSignal> m_pendingRemoteCandidates;
    bool m_didSendLocalDescription = false;
    bool m_didSetRemoteDescription = false;
    QSize m_streamSize;
    int64_t m_streamBitrate = 0;
    // Changes at every close: work begun for an earlier session sees it and
    // leaves the current one alone.
    uint64_t m_generation = 0;
};

} // namespace trellium
