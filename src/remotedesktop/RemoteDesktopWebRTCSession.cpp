#include "remotedesktop/RemoteDesktopWebRTCSession.h"

#include "core/Errors.h"
#include "core/FrameClock.h"
#include "core/Json.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "model/RemoteDesktopQuality.h"
#include "platform/display/VncFramebufferConverter.h"
#include "platform/webrtc/GstWebRtcEngine.h"
#include "remotedesktop/RuntimeDisplayHost.h"

#include <QPointer>

#include <algorithm>

namespace trellium {

namespace {

const QString kDomain = QStringLiteral("RemoteDesktopP2P");

int evenSide(double side)
{
    return int(std::clamp<double>(side, RemoteDesktopWebRTCSession::kMinimumSide,
                                  RemoteDesktopWebRTCSession::kMaximumSide)) & ~1;
}

DomainError noConnection()
{
    return DomainError(kDomain, 2, QStringLiteral("WebRTC-Verbindung konnte nicht erstellt werden."));
}

// Work of a session that was closed or replaced while it waited.
class Superseded {};

} // namespace

RemoteDesktopWebRTCSession &RemoteDesktopWebRTCSession::shared()
{
    static RemoteDesktopWebRTCSession *session = new RemoteDesktopWebRTCSession(
        Dependencies{std::make_shared<GstWebRtcEngine>(), displayHostPictures(), stunServerSetting()});
    return *session;
}

RemoteDesktopWebRTCSession::PictureSource RemoteDesktopWebRTCSession::displayHostPictures()
{
    auto converter = std::make_shared<VncFramebufferConverter>();
    return [converter](QUuid runtimeID, int width, int height) -> std::shared_ptr<const I420Picture> {
        std::optional<VideoFrameSource::Frame> frame =
            RuntimeDisplayHost::shared().frame(runtimeID, *converter, width, height);
        return frame ? frame->picture : nullptr;
    };
}

RemoteDesktopWebRTCSession::RemoteDesktopWebRTCSession(Dependencies dependencies, QObject *parent)
    : QObject(parent), m_dependencies(std::move(dependencies))
{
}

RemoteDesktopWebRTCSession::~RemoteDesktopWebRTCSession()
{
    // Whoever set the handlers may already be gone.
    onInputEnded = nullptr;
    close();
}

QString RemoteDesktopWebRTCSession::stunServerSetting()
{
    const auto defaults = userDefaults();
    if (!defaults->contains(QLatin1String(kStunServerKey)))
        return QString::fromLatin1(kDefaultStunServer);
    return defaults->value(QLatin1String(kStunServerKey)).toString().trimmed();
}

QSize RemoteDesktopWebRTCSession::offeredSize(std::optional<int64_t> width, std::optional<int64_t> height)
{
    const double w = double(std::max<int64_t>(width.value_or(kDefaultWidth), kMinimumSide));
    const double h = double(std::max<int64_t>(height.value_or(kDefaultHeight), kMinimumSide));
    const double longer = std::max(w, h);
    // The longer side exactly at the bound (a scale factor would round it
    // below), the other in proportion.
    const auto side = [longer](double length) {
        return longer <= kMaximumSide ? evenSide(length)
            : length == longer        ? kMaximumSide
                                      : evenSide(length * kMaximumSide / longer);
    };
    return QSize(side(w), side(h));
}

int64_t RemoteDesktopWebRTCSession::bitrateForSize(QSize size)
{
    const int64_t pixels = int64_t(size.width()) * size.height();
    for (const RemoteDesktopQuality quality :
         {RemoteDesktopQuality::eco, RemoteDesktopQuality::normal, RemoteDesktopQuality::quality}) {
        const QSize picture = remoteDesktopScaledSize(1600, 1120, quality);
        if (pixels <= int64_t(picture.width()) * picture.height())
            return remoteDesktopBitrate(quality);
    }
    return remoteDesktopBitrate(RemoteDesktopQuality::quality);
}

QCoro::Task<void> RemoteDesktopWebRTCSession::handleSignal(RemoteDesktopP2PSignal signal)
{
    const bool ofActiveSession = m_activeSessionID && *m_activeSessionID == signal.sessionID;
    switch (signal.kind) {
    case RemoteDesktopP2PSignalKind::offer:
        co_await acceptOffer(std::move(signal));
        break;
    case RemoteDesktopP2PSignalKind::iceCandidate:
        if (!ofActiveSession)
            break;
        if (m_didSetRemoteDescription && m_peer) {
            co_await addRemoteCandidate(std::move(signal));
        } else if (m_pendingRemoteCandidates.size() < kMaximumPendingCandidates) {
            m_pendingRemoteCandidates.append(std::move(signal));
        } else {
            logLine(QStringLiteral("P2P remote candidate dropped: too many before the offer"));
        }
        break;
    case RemoteDesktopP2PSignalKind::cancel:
        if (ofActiveSession)
            close();
        break;
    case RemoteDesktopP2PSignalKind::answer:
    case RemoteDesktopP2PSignalKind::endOfCandidates:
        break;
    }
}

QCoro::Task<void> RemoteDesktopWebRTCSession::acceptOffer(RemoteDesktopP2PSignal offer)
{
    if (!offer.sdp || !offer.runtimeID)
        throw DomainError(kDomain, 1, QStringLiteral("P2P-Angebot ist unvollständig."));

    close();
    const uint64_t generation = m_generation;
    const QPointer<RemoteDesktopWebRTCSession> self(this);
    const auto ensureCurrent = [&self, this, generation]() {
        if (!self || m_generation != generation)
            throw Superseded();
    };
    m_activeSessionID = offer.sessionID;
    m_activeRuntimeID = offer.runtimeID;
    // The requested size whatever level the offer names: stacks name 3.1
    // whatever their decoders can do, and decoders follow the level the
    // encoder writes into the stream.
    m_streamSize = offeredSize(offer.width, offer.height);
    m_streamBitrate = bitrateForSize(m_streamSize);
    const std::optional<WebRtcH264Format> format =
        WebRtcH264Format::choose(*offer.sdp, m_streamSize, kFramesPerSecond);

    try {
        const WebRtcEngine::Configuration configuration{m_dependencies.stunServer, m_dependencies.peerSilenceLimit};
        const WebRtcVideoSettings video{m_streamSize.width(), m_streamSize.height(), kFramesPerSecond, m_streamBitrate,
                                        format, QLatin1String(kTrackID), QLatin1String(kStreamID)};
        m_peer = m_dependencies.engine
            ? m_dependencies.engine->createPeerConnection(configuration, video, peerCallbacks(generation))
            : nullptr;
        if (!m_peer)
            throw noConnection();

        co_await m_peer->setRemoteOffer(*offer.sdp);
        ensureCurrent();
        // Candidates that come in meanwhile join the queue, so the order holds.
        while (!m_pendingRemoteCandidates.isEmpty()) {
            co_await addRemoteCandidate(m_pendingRemoteCandidates.takeFirst());
            ensureCurrent();
        }
        m_didSetRemoteDescription = true;

        const std::optional<QString> answer = co_await m_peer->createAnswer();
        ensureCurrent();
        if (!answer)
            throw DomainError(kDomain, 3);
        // An answer without sending video would stream to no one.
        if (!sdpSendsVideo(*answer))
            throw noConnection();
        co_await m_peer->setLocalAnswer(*answer);
        ensureCurrent();

        // The answer and the queued candidates go out in one main-thread
        // step: no candidate overtakes the answer.
        RemoteDesktopP2PSignal answerSignal;
        answerSignal.sessionID = offer.sessionID;
        answerSignal.kind = RemoteDesktopP2PSignalKind::answer;
        answerSignal.sdp = *answer;
        sendSignal(answerSignal);
        m_didSendLocalDescription = true;
        const QList<RemoteDesktopP2PSignal> queued = std::exchange(m_pendingLocalCandidates, {});
        for (const RemoteDesktopP2PSignal &candidate : queued)
            sendSignal(candidate);

        if (m_captureToken)
            m_captureToken->cancel();
        CancelToken token;
        m_captureToken = token;
        startDetached(captureLoop(*offer.runtimeID, m_streamSize, token), QStringLiteral("P2P capture loop"));
    } catch (const Superseded &) {
        logLine(QStringLiteral("P2P offer superseded:"), uuidText(offer.sessionID));
        co_return;
    } catch (...) {
        // A failed offer closes what it set up; a superseded one is not ours to close.
        if (!self || m_generation != generation) {
            logLine(QStringLiteral("P2P offer superseded:"), uuidText(offer.sessionID));
            co_return;
        }
        close();
        throw;
    }
}

QCoro::Task<void> RemoteDesktopWebRTCSession::addRemoteCandidate(RemoteDesktopP2PSignal signal)
{
    if (!signal.candidate || !m_peer)
        co_return;
    const int64_t index = signal.sdpMLineIndex.value_or(0);
    if (index < 0 || index > INT32_MAX) {
        logLine(QStringLiteral("P2P remote candidate ignored: media line index"), QString::number(index));
        co_return;
    }
    co_await m_peer->addRemoteCandidate(*signal.candidate, signal.sdpMid, int(index));
}

WebRtcPeerConnection::Callbacks RemoteDesktopWebRTCSession::peerCallbacks(uint64_t generation)
{
    // The engine calls these on the main thread; a closed session's calls
    // that were already on their way change nothing.
    WebRtcPeerConnection::Callbacks callbacks;
    callbacks.onLocalCandidate = [this, generation](QString candidate, std::optional<QString> sdpMid, int index) {
        if (generation != m_generation || !m_activeSessionID)
            return;
        RemoteDesktopP2PSignal signal;
        signal.sessionID = *m_activeSessionID;
        signal.kind = RemoteDesktopP2PSignalKind::iceCandidate;
        signal.candidate = candidate;
        signal.sdpMid = sdpMid;
        signal.sdpMLineIndex = index;
        if (m_didSendLocalDescription)
            sendSignal(signal);
        else
            m_pendingLocalCandidates.append(signal);
    };
    callbacks.onIceConnectionStateChanged = [this, generation](int state) {
        if (generation != m_generation)
            return;
        logLine(QStringLiteral("P2P ICE connection state:"), QString::number(state));
        if (onStateChange)
            onStateChange(state);
        // Failed is final (there is no ICE restart): a peer that is gone
        // must not keep the capture loop and the encoder running until the
        // next offer.
        if (generation == m_generation && state == kIceConnectionFailed) {
            logLine(QStringLiteral("P2P session closed: ICE failed"));
            close();
        }
    };
    callbacks.onDataChannelOpened = [this, generation]() {
        if (generation == m_generation)
            logLine(QStringLiteral("P2P data channel open"));
    };
    callbacks.onDataChannelMessage = [this, generation](QByteArray bytes, bool isText) {
        if (generation == m_generation)
            handleDataChannelMessage(bytes, isText);
    };
    // Ends the session as a cancel does, from the event loop: the connection
    // that calls is not deleted under its own call.
    callbacks.onPeerGone = [this, generation](QString why) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, why]() {
                if (generation != m_generation)
                    return;
                logLine(QStringLiteral("P2P session closed: peer gone,"), why);
                close();
            },
            Qt::QueuedConnection);
    };
    return callbacks;
}

void RemoteDesktopWebRTCSession::handleDataChannelMessage(const QByteArray &bytes, bool isText)
{
    if (!isText || bytes.size() > kMaximumMessageBytes)
        return;
    RemoteDesktopInputEvent event;
    try {
        event = RemoteDesktopInputEvent::fromJson(parseJsonObject(bytes));
    } catch (const std::exception &) {
        return;
    }
    if (m_activeRuntimeID && onInput)
        onInput(*m_activeRuntimeID, event);
}

void RemoteDesktopWebRTCSession::sendSignal(const RemoteDesktopP2PSignal &signal)
{
    if (onSignal)
        onSignal(signal);
}

QCoro::Task<void> RemoteDesktopWebRTCSession::captureLoop(QUuid runtimeID, QSize size, CancelToken token)
{
    FrameClock clock(kFramesPerSecond);
    // The token is checked after every wait: a closed session is never touched again.
    while (!token.isCancelled()) {
        std::shared_ptr<const I420Picture> picture =
            m_dependencies.pictures ? m_dependencies.pictures(runtimeID, size.width(), size.height()) : nullptr;
        if (picture && m_peer)
            m_peer->pushPicture(std::move(picture));
        try {
            co_await clock.waitForNextFrame(token);
        } catch (const CancelledError &) {
            co_return;
        }
    }
}

void RemoteDesktopWebRTCSession::close()
{
    ++m_generation;
    const std::optional<QUuid> runtimeID = std::exchange(m_activeRuntimeID, std::nullopt);
    if (m_captureToken) {
        m_captureToken->cancel();
        m_captureToken.reset();
    }
    if (m_peer) {
        m_peer->close();
        m_peer.reset();
    }
    m_activeSessionID.reset();
    m_pendingLocalCandidates.clear();
    m_pendingRemoteCandidates.clear();
    m_didSendLocalDescription = false;
    m_didSetRemoteDescription = false;
    if (runtimeID && onInputEnded)
        onInputEnded(*runtimeID);
}

} // namespace trellium
