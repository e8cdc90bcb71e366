// The WebRTC session's negotiation and input paths over a scripted engine.
#include "remotedesktop/RemoteDesktopWebRTCSession.h"

#include "core/Errors.h"
#include "core/Json.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

// What one scripted peer connection was asked to do, and the levers a test pulls.
struct PeerScript {
    WebRtcVideoSettings video;
    WebRtcPeerConnection::Callbacks callbacks;
    QStringList calls;
    QStringList offers;  // the offer texts the connection was given
    QList<QSize> pictures;
    bool closed = false;
    // When set, the offer is applied only once the test resolves it.
    std::optional<Completion<void>> offerGate;
    bool failOffer = false;
    std::optional<QString> answer = QStringLiteral("v=0\r\nm=video 9 UDP/TLS/RTP/SAVPF 102\r\na=sendonly\r\n");
    // Local candidates the engine finds while the answer is being made.
    QStringList candidatesDuringAnswer;
};

class ScriptedPeer : public WebRtcPeerConnection {
public:
    explicit ScriptedPeer(std::shared_ptr<PeerScript> script) : m_script(std::move(script)) {}

    QCoro::Task<void> setRemoteOffer(QString sdp) override
    {
        auto script = m_script;
        script->calls << QStringLiteral("offer");
        script->offers << sdp;
        if (script->offerGate)
            co_await *script->offerGate;
        if (script->failOffer)
            throw DomainError(QStringLiteral("WebRTC"), 3, QStringLiteral("Angebot abgelehnt"));
    }
    QCoro::Task<void> addRemoteCandidate(QString candidate, std::optional<QString>, int index) override
    {
        m_script->calls << QStringLiteral("candidate:%1@%2").arg(candidate).arg(index);
        co_return;
    }
    QCoro::Task<std::optional<QString>> createAnswer() override
    {
        m_script->calls << QStringLiteral("answer");
        for (const QString &candidate : std::as_const(m_script->candidatesDuringAnswer))
            m_script->callbacks.onLocalCandidate(candidate, QStringLiteral("0"), 0);
        co_return std::optional<QString>(m_script->answer);  // a copy: QCoro moves what it returns
    }
    QCoro::Task<void> setLocalAnswer(QString) override
    {
        m_script->calls << QStringLiteral("local");
        co_return;
    }
    void pushPicture(std::shared_ptr<const I420Picture> picture) override { m_script->pictures << picture->size(); }
    void close() override { m_script->closed = true; }

private:
    std::shared_ptr<PeerScript> m_script;
};

class ScriptedEngine : public WebRtcEngine {
public:
    std::unique_ptr<WebRtcPeerConnection> createPeerConnection(const Configuration &configuration,
                                                               const WebRtcVideoSettings &video,
                                                               WebRtcPeerConnection::Callbacks callbacks) override
    {
        if (refuse)
            return nullptr;
        auto script = next ? std::exchange(next, nullptr) : std::make_shared<PeerScript>();
        script->video = video;
        script->callbacks = std::move(callbacks);
        // The previous connection must already be closed when the next is made.
        for (const auto &earlier : peers)
            earlierClosedAtCreation << earlier->closed;
        peers << script;
        return std::make_unique<ScriptedPeer>(script);
    }

    QList<std::shared_ptr<PeerScript>> peers;
    std::shared_ptr<PeerScript> next;  // the script of the next connection, when a test prepares one
    QList<bool> earlierClosedAtCreation;
    bool refuse = false;
};


RemoteDesktopP2PSignal offerSignal(QUuid sessionID, QUuid runtimeID)
{
    RemoteDesktopP2PSignal offer;
    offer.sessionID = sessionID;
    offer.kind = RemoteDesktopP2PSignalKind::offer;
    offer.sdp = QStringLiteral("v=0\r\nm=video 9 UDP/TLS/RTP/SAVPF 102\r\na=rtpmap:102 H264/90000\r\n"
                               "a=fmtp:102 packetization-mode=1;profile-level-id=42e01f\r\n");
    offer.runtimeID = runtimeID;
    return offer;
}

// The domain and code of the DomainError a call fails with; none for any other outcome.
std::optional<std::pair<QString, int>> domainErrorOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const DomainError &error) {
        return std::pair(error.domain(), error.code());
    } catch (...) {
    }
    return std::nullopt;
}

RemoteDesktopP2PSignal candidateSignal(QUuid sessionID, const QString &candidate, int index = 0)
{
    return RemoteDesktopP2PSignal::fromJson({{"sessionID", uuidText(sessionID)}, {"kind", "iceCandidate"},
                                             {"candidate", candidate}, {"sdpMLineIndex", index}});
}

class RemoteDesktopWebRTCSessionTest : public testing::Test {
protected:
    RemoteDesktopWebRTCSessionTest()
        : engine(std::make_shared<ScriptedEngine>()),
          session(RemoteDesktopWebRTCSession::Dependencies{
              engine,
              [this](QUuid runtimeID, int width, int height) -> std::shared_ptr<const I420Picture> {
                  pictureRequests << runtimeID;
                  return std::make_shared<I420Picture>(width, height);
              },
              QString()})
    {
        session.onSignal = [this](const RemoteDesktopP2PSignal &signal) { sent << signal; };
        session.onInput = [this](QUuid runtimeID, const RemoteDesktopInputEvent &event) {
            inputs << qMakePair(runtimeID, event);
        };
        session.onInputEnded = [this](QUuid runtimeID) { inputsEnded << runtimeID; };
    }

    void accept(const RemoteDesktopP2PSignal &offer) { runSync(session.handleSignal(offer), 10s); }

    std::shared_ptr<ScriptedEngine> engine;
    RemoteDesktopWebRTCSession session;
    QList<RemoteDesktopP2PSignal> sent;
    QList<QPair<QUuid, RemoteDesktopInputEvent>> inputs;
    // Runtimes whose session's input ended (held keys must be let go).
    QList<QUuid> inputsEnded;
    QList<QUuid> pictureRequests;
    const QUuid runtimeID = QUuid::createUuid();
    const QUuid sessionID = QUuid::createUuid();
};

} // namespace

TEST_F(RemoteDesktopWebRTCSessionTest, CandidatesWaitForTheOfferAndTheAnswerKeepingTheirOrder)
{
    auto script = std::make_shared<PeerScript>();
    script->offerGate = Completion<void>();
    script->candidatesDuringAnswer = {QStringLiteral("local-1"), QStringLiteral("local-2")};
    engine->next = script;

    QCoro::Task<void> accepting = session.handleSignal(offerSignal(sessionID, runtimeID));
    runSync(session.handleSignal(candidateSignal(sessionID, QStringLiteral("remote-A"), 0)));
    runSync(session.handleSignal(candidateSignal(QUuid::createUuid(), QStringLiteral("foreign"), 0)));
    runSync(session.handleSignal(candidateSignal(sessionID, QStringLiteral("remote-B"), 1)));
    // Beyond 256 waiting candidates the rest are dropped, and said so.
    test::LogCapture log;
    for (int i = 0; i < 300; ++i)
        runSync(session.handleSignal(candidateSignal(sessionID, QStringLiteral("extra-%1").arg(i))));
    EXPECT_TRUE(log.contains(QStringLiteral("P2P remote candidate dropped")));
    EXPECT_EQ(script->calls, QStringList{QStringLiteral("offer")}) << "candidates went in before the offer";

    script->offerGate->resolve();
    runSync(std::move(accepting), 10s);
    ASSERT_EQ(script->calls.size(), 1 + 256 + 2);
    EXPECT_EQ(script->calls.mid(0, 3) + script->calls.mid(256),
              (QStringList{QStringLiteral("offer"), QStringLiteral("candidate:remote-A@0"), QStringLiteral("candidate:remote-B@1"),
                           QStringLiteral("candidate:extra-253@0"), QStringLiteral("answer"), QStringLiteral("local")}));

    // The answer first, then the candidates found while it was made, in order.
    ASSERT_EQ(sent.size(), 3);
    EXPECT_EQ(sent[0].kind, RemoteDesktopP2PSignalKind::answer);
    EXPECT_EQ(sent[0].sdp, script->answer);
    EXPECT_EQ(sent[1].candidate, QStringLiteral("local-1"));
    EXPECT_EQ(sent[2].candidate, QStringLiteral("local-2"));

    // Streaming: both directions pass straight through.
    script->callbacks.onLocalCandidate(QStringLiteral("local-3"), std::nullopt, 1);
    ASSERT_EQ(sent.size(), 4);
    EXPECT_EQ(sent[3].candidate, QStringLiteral("local-3"));
    EXPECT_FALSE(sent[3].sdpMid);
    runSync(session.handleSignal(candidateSignal(sessionID, QStringLiteral("remote-C"), 0)));
    EXPECT_EQ(script->calls.last(), QStringLiteral("candidate:remote-C@0"));
}

TEST_F(RemoteDesktopWebRTCSessionTest, ASecondOfferClosesTheFirstSessionBeforeBuildingItsOwn)
{
    accept(offerSignal(sessionID, runtimeID));
    ASSERT_TRUE(test::waitUntil([&] { return !engine->peers.first()->pictures.isEmpty(); }, 5s));

    const QUuid secondSession = QUuid::createUuid();
    const QUuid secondRuntime = QUuid::createUuid();
    accept(offerSignal(secondSession, secondRuntime));
    ASSERT_EQ(engine->peers.size(), 2);
    EXPECT_EQ(engine->earlierClosedAtCreation, QList<bool>{true});
    EXPECT_EQ(session.activeSessionID(), secondSession);
    EXPECT_EQ(session.activeRuntimeID(), secondRuntime);
    EXPECT_EQ(inputsEnded, QList<QUuid>{runtimeID});

    // The first capture loop is over: its connection gets nothing more, the
    // runtime of the first offer is no longer asked for pictures.
    const qsizetype firstPictures = engine->peers.first()->pictures.size();
    pictureRequests.clear();
    ASSERT_TRUE(test::waitUntil([&] { return engine->peers.last()->pictures.size() >= 5; }, 5s));
    EXPECT_EQ(engine->peers.first()->pictures.size(), firstPictures);
    EXPECT_FALSE(pictureRequests.contains(runtimeID));

    // A late notification of the closed connection changes nothing.
    engine->peers.first()->callbacks.onLocalCandidate(QStringLiteral("stale"), std::nullopt, 0);
    EXPECT_FALSE(std::any_of(sent.begin(), sent.end(), [](const auto &s) { return s.candidate == QStringLiteral("stale"); }));
}

// The offered level does not shrink the picture nor cap the bitrate: stacks
// name level 3.1 whatever their decoders can do, and decoders follow the
// level the stream names.
TEST_F(RemoteDesktopWebRTCSessionTest, StreamSizeDefaultsTo720pAndIsHeldToSaneEvenValuesWhateverTheOffersLevel)
{
    struct Case { std::optional<int64_t> width, height; const char *profileLevelId; QSize size; int64_t bitrate; };
    const Case cases[] = {
        // 1280 x 720 has fewer pixels than the normal quality's 1200 x 840.
        {std::nullopt, std::nullopt, "42e01f", {1280, 720}, 4'000'000},
        // Shapes are kept, the longer side held to 3840.
        {1'000'000'000'000, 100'000, "42e01f", {3840, 16}, 2'000'000},
        {10'000, 10'000, "42e01f", {3840, 3840}, 6'000'000},
        {-5, 1, "42e01f", {16, 16}, 2'000'000},
        {1041, 727, "42e01f", {1040, 726}, 2'000'000},
        // Level 1.3 and level 1b streams as much as level 3.1.
        {std::nullopt, std::nullopt, "42e00d", {1280, 720}, 4'000'000},
        {std::nullopt, std::nullopt, "640c0d", {1280, 720}, 4'000'000},
        {std::nullopt, std::nullopt, "42f00b", {1280, 720}, 4'000'000},
        // What tablets ask for, and what they get at level 3.1: their size;
        // beyond the quality's 1440 x 1008 the top bitrate.
        {1600, 1120, "42e01f", {1600, 1120}, 6'000'000},
        {1920, 1080, "640c1f", {1920, 1080}, 6'000'000},
        {2732, 2048, "42e01f", {2732, 2048}, 6'000'000},
        // Far beyond the bound on both sides: at the bound, its shape kept.
        {2'000'000'000, 1'000'000'000, "42e01f", {3840, 1920}, 6'000'000},
        {10'000, 100'000, "42e01f", {384, 3840}, 6'000'000},
        // The shorter side scales to 2161.5: even, as I420 and x264 need it.
        {7680, 4323, "42e01f", {3840, 2160}, 6'000'000},
        {4323, 7680, "42e01f", {2160, 3840}, 6'000'000},
    };
    for (const Case &shape : cases) {
        RemoteDesktopP2PSignal offer = offerSignal(QUuid::createUuid(), runtimeID);
        offer.width = shape.width;
        offer.height = shape.height;
        offer.sdp->replace(QStringLiteral("42e01f"), QLatin1String(shape.profileLevelId));
        accept(offer);
        const PeerScript &peer = *engine->peers.last();
        EXPECT_EQ(QSize(peer.video.width, peer.video.height), shape.size) << shape.profileLevelId;
        EXPECT_EQ(peer.video.bitrate, shape.bitrate);
        EXPECT_EQ(peer.video.fps, 30);
        EXPECT_EQ(peer.video.format->profileLevelId, QLatin1String(shape.profileLevelId));
        ASSERT_TRUE(test::waitUntil([&] { return !peer.pictures.isEmpty(); }, 5s));
        EXPECT_EQ(peer.pictures.first(), shape.size);
    }
}

TEST_F(RemoteDesktopWebRTCSessionTest, AnIncompleteOfferChangesNothingAFailedOneLeavesNoHalfSessionBehind)
{
    accept(offerSignal(sessionID, runtimeID));
    for (const bool withoutRuntime : {true, false}) {
        RemoteDesktopP2PSignal incomplete = offerSignal(QUuid::createUuid(), runtimeID);
        (withoutRuntime ? incomplete.runtimeID.reset() : incomplete.sdp.reset());
        EXPECT_EQ(test::errorOf([&] { runSync(session.handleSignal(incomplete)); }),
                  QStringLiteral("P2P-Angebot ist unvollständig."));
    }
    EXPECT_EQ(engine->peers.size(), 1);
    EXPECT_FALSE(engine->peers.first()->closed);
    EXPECT_EQ(session.activeSessionID(), sessionID);
    EXPECT_TRUE(session.isCapturing());
    sent.clear();

    const auto refused = [this](std::shared_ptr<PeerScript> script) {
        engine->next = std::move(script);
        const QString error = test::errorOf([&] { accept(offerSignal(sessionID, runtimeID)); });
        EXPECT_FALSE(session.activeSessionID()) << error.toStdString();
        EXPECT_FALSE(session.activeRuntimeID());
        EXPECT_FALSE(session.isCapturing());
        EXPECT_TRUE(engine->peers.isEmpty() || engine->peers.last()->closed);
        EXPECT_TRUE(sent.isEmpty());
        return error;
    };
    const auto script = [](auto change) {
        auto made = std::make_shared<PeerScript>();
        change(*made);
        return made;
    };
    // The engine's own error, no answer, an answer that sends no video, no connection.
    EXPECT_EQ(refused(script([](PeerScript &s) { s.failOffer = true; })), QStringLiteral("Angebot abgelehnt"));
    EXPECT_EQ(refused(script([](PeerScript &s) { s.answer.reset(); })),
              QStringLiteral("Der Vorgang konnte nicht abgeschlossen werden. (RemoteDesktopP2P-Fehler 3.)"));
    EXPECT_EQ(refused(script([](PeerScript &s) { s.answer->replace(QStringLiteral("sendonly"), QStringLiteral("inactive")); })),
              QStringLiteral("WebRTC-Verbindung konnte nicht erstellt werden."));
    engine->refuse = true;
    EXPECT_EQ(refused(nullptr), QStringLiteral("WebRTC-Verbindung konnte nicht erstellt werden."));
}

// What the relay driver prints of a failure: the session's own errors in
// its domain with their codes, the engine's in the engine's domain.
TEST_F(RemoteDesktopWebRTCSessionTest, AFailedOfferFailsInItsDomainWithItsCodeAndTheOfferReachesTheEngineAsItCame)
{
    // The offer as the peer wrote it, trailing spaces and empty line included.
    RemoteDesktopP2PSignal offer = offerSignal(sessionID, runtimeID);
    *offer.sdp += QStringLiteral("a=x-note: kept as it is \r\n\r\n");
    accept(offer);
    ASSERT_EQ(engine->peers.size(), 1);
    EXPECT_EQ(engine->peers.first()->offers, QStringList{*offer.sdp});

    using Failure = std::optional<std::pair<QString, int>>;
    const auto failure = [this](auto change) {
        auto script = std::make_shared<PeerScript>();
        change(*script);
        engine->next = script;
        return domainErrorOf([&] { accept(offerSignal(sessionID, runtimeID)); });
    };
    const QString p2p = QStringLiteral("RemoteDesktopP2P");
    EXPECT_EQ(failure([](PeerScript &s) { s.failOffer = true; }), Failure(std::pair(QStringLiteral("WebRTC"), 3)));
    EXPECT_EQ(failure([](PeerScript &s) { s.answer.reset(); }), Failure(std::pair(p2p, 3)));
    EXPECT_EQ(failure([](PeerScript &s) { s.answer->replace(QStringLiteral("sendonly"), QStringLiteral("recvonly")); }),
              Failure(std::pair(p2p, 2)));
    engine->refuse = true;
    EXPECT_EQ(failure([](PeerScript &) {}), Failure(std::pair(p2p, 2)));
    offer.sdp.reset();
    EXPECT_EQ(domainErrorOf([&] { accept(offer); }), Failure(std::pair(p2p, 1)));
}

// Negotiations that a new offer or a cancel ended get nothing to touch
// when their engine step ends late, well or not.
TEST_F(RemoteDesktopWebRTCSessionTest, NegotiationsEndedByANewOfferOrACancelTouchNothingAfterwards)
{
    const auto gated = [this]() {
        auto script = std::make_shared<PeerScript>();
        script->offerGate = Completion<void>();
        return engine->next = script;
    };
    auto first = gated();
    QCoro::Task<void> firstAccepting = session.handleSignal(offerSignal(sessionID, runtimeID));
    RemoteDesktopP2PSignal cancel = offerSignal(QUuid::createUuid(), runtimeID);
    cancel.kind = RemoteDesktopP2PSignalKind::cancel;
    runSync(session.handleSignal(cancel));
    EXPECT_EQ(session.activeSessionID(), sessionID) << "a foreign cancel closed the session";

    auto second = gated();
    cancel.sessionID = QUuid::createUuid();
    QCoro::Task<void> secondAccepting = session.handleSignal(offerSignal(cancel.sessionID, runtimeID));
    EXPECT_TRUE(first->closed);
    EXPECT_EQ(session.activeSessionID(), cancel.sessionID);
    // The first offer's engine step fails late (a closed webrtcbin never
    // replies): it must not close the session that replaced it.
    first->failOffer = true;
    first->offerGate->resolve();
    EXPECT_NO_THROW(runSync(std::move(firstAccepting), 10s));
    EXPECT_EQ(session.activeSessionID(), cancel.sessionID);
    EXPECT_FALSE(second->closed);

    // The second, cancelled while negotiating, is answered late: no answer goes out.
    runSync(session.handleSignal(cancel));
    EXPECT_TRUE(second->closed);
    EXPECT_FALSE(session.activeSessionID());
    second->offerGate->resolve();
    EXPECT_NO_THROW(runSync(std::move(secondAccepting), 10s));
    EXPECT_TRUE(sent.isEmpty());
    EXPECT_FALSE(session.isCapturing());
    EXPECT_FALSE(second->calls.contains(QStringLiteral("answer")));
}

TEST_F(RemoteDesktopWebRTCSessionTest, AFailedConnectionOrAGonePeerEndsTheSessionOtherStatesOnlyReport)
{
    QList<int> states;
    session.onStateChange = [&states](int state) { states << state; };
    accept(offerSignal(sessionID, runtimeID));
    const auto &changed = engine->peers.first()->callbacks.onIceConnectionStateChanged;
    changed(1);
    changed(2);
    changed(5);  // disconnected may recover
    EXPECT_EQ(session.activeSessionID(), sessionID);
    EXPECT_TRUE(session.isCapturing());
    EXPECT_TRUE(inputsEnded.isEmpty());
    changed(4);
    EXPECT_EQ(states, (QList<int>{1, 2, 5, 4}));
    EXPECT_FALSE(session.activeSessionID());
    EXPECT_FALSE(session.isCapturing());
    EXPECT_TRUE(engine->peers.first()->closed);
    EXPECT_EQ(inputsEnded, QList<QUuid>{runtimeID});

    // A peer that left without a word ends its session just so; the word of
    // an ended session's peer changes nothing.
    accept(offerSignal(sessionID, runtimeID));
    engine->peers.first()->callbacks.onPeerGone(QStringLiteral("late"));
    QCoreApplication::processEvents();
    EXPECT_EQ(session.activeSessionID(), sessionID);
    engine->peers.last()->callbacks.onPeerGone(QStringLiteral("silent"));
    EXPECT_TRUE(test::waitUntil([&] { return !session.activeSessionID(); }, 5s));
    EXPECT_FALSE(session.isCapturing());
    EXPECT_TRUE(engine->peers.last()->closed);
    EXPECT_EQ(inputsEnded, (QList<QUuid>{runtimeID, runtimeID}));
}

TEST_F(RemoteDesktopWebRTCSessionTest, DataChannelTextBecomesInputForTheSessionsRuntimeAndNothingElseDoes)
{
    accept(offerSignal(sessionID, runtimeID));
    const auto &message = engine->peers.first()->callbacks.onDataChannelMessage;
    engine->peers.first()->callbacks.onDataChannelOpened();

    message(R"({"kind": "leftClick", "normalizedX": 0.5, "normalizedY": 0.5})", true);
    message(R"({"kind": "leftClick", "normalizedX": 0.5, "normalizedY": 0.5})", false);  // binary
    message("kein JSON", true);
    message(R"({"kind": "fly", "normalizedX": 0.5, "normalizedY": 0.5})", true);
    message(R"({"kind": "textInput", "normalizedX": 0, "normalizedY": 0, "text": ")"
                + QByteArray(RemoteDesktopWebRTCSession::kMaximumMessageBytes, 'a') + R"("})",
            true);
    message(R"({"kind": "textInput", "normalizedX": 0, "normalizedY": 0, "text": "hallo"})", true);
    message(R"({"kind": "keyDown", "normalizedX": 0, "normalizedY": 0, "keyCode": 56})", true);

    ASSERT_EQ(inputs.size(), 3);
    EXPECT_EQ(inputs[0].first, runtimeID);
    EXPECT_EQ(inputs[0].second.kind, RemoteDesktopInputEvent::Kind::leftClick);
    EXPECT_EQ(inputs[0].second.normalizedX, 0.5);
    EXPECT_EQ(inputs[1].second.text, QStringLiteral("hallo"));
    EXPECT_TRUE(inputsEnded.isEmpty());

    // The peer goes before its key comes up: the end of the session lets go
    // of it. Afterwards the channel's messages go nowhere.
    session.close();
    EXPECT_EQ(inputsEnded, QList<QUuid>{runtimeID});
    message(R"({"kind": "mouseMove", "normalizedX": 0.1, "normalizedY": 0.1})", true);
    EXPECT_EQ(inputs.size(), 3);
    session.close();
    EXPECT_EQ(inputsEnded.size(), 1);
}
