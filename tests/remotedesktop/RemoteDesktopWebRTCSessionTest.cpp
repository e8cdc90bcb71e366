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
    int number = 0;
    WebRtcVideoSettings video;
    WebRtcPeerConnection::Callbacks callbacks;
    QStringList calls;
    QList<QSize> pictures;
    bool closed = false;
    // When set, the offer is applied only once the test resolves it.
    std::optional<Completion<void>> offerGate;
    bool failOffer = false;
    std::optional<QString> answer = QStringLiteral("v=0 answer");
    // Local candidates the engine finds while the answer is being made.
    QStringList candidatesDuringAnswer;
};

class ScriptedPeer : public WebRtcPeerConnection {
public:
    explicit ScriptedPeer(std::shared_ptr<PeerScript> script) : m_script(std::move(script)) {}

    QCoro::Task<void> setRemoteOffer(QString sdp) override
    {
        auto script = m_script;
        script->calls << QStringLiteral("offer:") + sdp;
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
        co_return m_script->answer;
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
        stunServers << configuration.stunServer;
        if (refuse)
            return nullptr;
        auto script = next ? std::exchange(next, nullptr) : std::make_shared<PeerScript>();
        script->number = int(peers.size()) + 1;
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
    QStringList stunServers;
    QList<bool> earlierClosedAtCreation;
    bool refuse = false;
};


RemoteDesktopP2PSignal offerSignal(QUuid sessionID, QUuid runtimeID)
{
    RemoteDesktopP2PSignal offer;
    offer.sessionID = sessionID;
    offer.kind = RemoteDesktopP2PSignalKind::offer;
    offer.sdp = QStringLiteral("v=0 offer");
    offer.runtimeID = runtimeID;
    return offer;
}

RemoteDesktopP2PSignal candidateSignal(QUuid sessionID, const QString &candidate, int index = 0)
{
    RemoteDesktopP2PSignal signal;
    signal.sessionID = sessionID;
    signal.kind = RemoteDesktopP2PSignalKind::iceCandidate;
    signal.candidate = candidate;
    signal.sdpMLineIndex = index;
    return signal;
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

TEST_F(RemoteDesktopWebRTCSessionTest, IncompleteOfferFailsWithCodeOneAndLeavesTheRunningSessionAlone)
{
    accept(offerSignal(sessionID, runtimeID));
    ASSERT_EQ(engine->peers.size(), 1);

    for (const bool withoutRuntime : {true, false}) {
        RemoteDesktopP2PSignal incomplete = offerSignal(QUuid::createUuid(), runtimeID);
        if (withoutRuntime)
            incomplete.runtimeID.reset();
        else
            incomplete.sdp.reset();
        EXPECT_EQ(test::errorOf([&] { runSync(session.handleSignal(incomplete)); }),
                  QStringLiteral("P2P-Angebot ist unvollständig."));
    }
    EXPECT_EQ(engine->peers.size(), 1);
    EXPECT_FALSE(engine->peers.first()->closed);
    EXPECT_EQ(session.activeSessionID(), sessionID);
    EXPECT_TRUE(session.isCapturing());
}

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
    EXPECT_EQ(script->calls, QStringList{QStringLiteral("offer:v=0 offer")}) << "candidates went in before the offer";

    script->offerGate->resolve();
    runSync(std::move(accepting), 10s);
    EXPECT_EQ(script->calls, (QStringList{QStringLiteral("offer:v=0 offer"), QStringLiteral("candidate:remote-A@0"),
                                          QStringLiteral("candidate:remote-B@1"), QStringLiteral("answer"),
                                          QStringLiteral("local")}));

    // The answer first, then the candidates found while it was made, in order.
    ASSERT_EQ(sent.size(), 3);
    EXPECT_EQ(sent[0].kind, RemoteDesktopP2PSignalKind::answer);
    EXPECT_EQ(sent[0].sdp, QStringLiteral("v=0 answer"));
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

TEST_F(RemoteDesktopWebRTCSessionTest, StreamSizeDefaultsTo720pAndIsHeldToSaneEvenValues)
{
    accept(offerSignal(sessionID, runtimeID));
    ASSERT_EQ(engine->peers.size(), 1);
    EXPECT_EQ(QSize(engine->peers[0]->video.width, engine->peers[0]->video.height), QSize(1280, 720));
    EXPECT_EQ(engine->peers[0]->video.fps, 30);
    // 1280 x 720 has fewer pixels than the normal quality's 1200 x 840.
    EXPECT_EQ(engine->peers[0]->video.bitrate, 4'000'000);
    ASSERT_TRUE(test::waitUntil([&] { return !engine->peers[0]->pictures.isEmpty(); }, 5s));
    EXPECT_EQ(engine->peers[0]->pictures.first(), QSize(1280, 720));

    RemoteDesktopP2PSignal absurd = offerSignal(QUuid::createUuid(), runtimeID);
    absurd.width = 1'000'000'000'000;
    absurd.height = 100'000;
    accept(absurd);
    EXPECT_EQ(QSize(engine->peers[1]->video.width, engine->peers[1]->video.height), QSize(3840, 3840));
    EXPECT_EQ(engine->peers[1]->video.bitrate, 6'000'000);
    ASSERT_TRUE(test::waitUntil([&] { return !engine->peers[1]->pictures.isEmpty(); }, 5s));
    EXPECT_EQ(engine->peers[1]->pictures.first(), QSize(3840, 3840));
    absurd.width = -5;
    absurd.height = 1;
    accept(absurd);
    EXPECT_EQ(QSize(engine->peers[2]->video.width, engine->peers[2]->video.height), QSize(16, 16));

    RemoteDesktopP2PSignal odd = offerSignal(QUuid::createUuid(), runtimeID);
    odd.width = 1041;
    odd.height = 727;
    accept(odd);
    EXPECT_EQ(QSize(engine->peers[3]->video.width, engine->peers[3]->video.height), QSize(1040, 726));
    EXPECT_EQ(engine->peers[3]->video.bitrate, 2'000'000);
}

TEST_F(RemoteDesktopWebRTCSessionTest, AFailedOfferLeavesNoHalfSessionBehind)
{
    const auto expectIdle = [this](const char *what) {
        EXPECT_FALSE(session.activeSessionID()) << what;
        EXPECT_FALSE(session.activeRuntimeID()) << what;
        EXPECT_FALSE(session.isCapturing()) << what;
        EXPECT_TRUE(engine->peers.isEmpty() || engine->peers.last()->closed) << what;
        EXPECT_TRUE(sent.isEmpty()) << what;
    };

    auto rejecting = std::make_shared<PeerScript>();
    rejecting->failOffer = true;
    engine->next = rejecting;
    try {
        accept(offerSignal(sessionID, runtimeID));
        ADD_FAILURE() << "accepted";
    } catch (const DomainError &error) {
        EXPECT_EQ(error.domain(), QStringLiteral("WebRTC"));  // the engine's own error
    }
    expectIdle("offer refused");

    auto silent = std::make_shared<PeerScript>();
    silent->answer.reset();
    engine->next = silent;
    try {
        accept(offerSignal(sessionID, runtimeID));
        ADD_FAILURE() << "accepted";
    } catch (const DomainError &error) {
        EXPECT_EQ(error.domain(), QStringLiteral("RemoteDesktopP2P"));
        EXPECT_EQ(error.code(), 3);
    }
    expectIdle("no answer");

    engine->refuse = true;
    try {
        accept(offerSignal(sessionID, runtimeID));
        ADD_FAILURE() << "accepted";
    } catch (const DomainError &error) {
        EXPECT_EQ(error.code(), 2);
        EXPECT_EQ(error.localizedDescription(), QStringLiteral("WebRTC-Verbindung konnte nicht erstellt werden."));
    }
    expectIdle("no connection");
}

TEST_F(RemoteDesktopWebRTCSessionTest, ANewOfferDuringNegotiationLeavesTheOldOneNothingToTouch)
{
    auto first = std::make_shared<PeerScript>();
    first->offerGate = Completion<void>();
    engine->next = first;
    QCoro::Task<void> accepting = session.handleSignal(offerSignal(sessionID, runtimeID));

    const QUuid secondSession = QUuid::createUuid();
    accept(offerSignal(secondSession, runtimeID));
    EXPECT_TRUE(first->closed);
    ASSERT_EQ(sent.size(), 1);

    // The first offer's engine answers late: it must not answer for, or
    // close, the session that replaced it.
    first->offerGate->resolve();
    EXPECT_NO_THROW(runSync(std::move(accepting), 10s));
    EXPECT_EQ(sent.size(), 1);
    EXPECT_EQ(sent.first().sessionID, secondSession);
    EXPECT_EQ(session.activeSessionID(), secondSession);
    EXPECT_FALSE(engine->peers.last()->closed);
    EXPECT_TRUE(session.isCapturing());
}

TEST_F(RemoteDesktopWebRTCSessionTest, AFailedConnectionEndsTheSessionOthersOnlyReportTheirState)
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
}

TEST_F(RemoteDesktopWebRTCSessionTest, ACancelDuringNegotiationEndsItWithoutAnAnswer)
{
    auto script = std::make_shared<PeerScript>();
    script->offerGate = Completion<void>();
    engine->next = script;
    QCoro::Task<void> accepting = session.handleSignal(offerSignal(sessionID, runtimeID));

    RemoteDesktopP2PSignal cancel;
    cancel.kind = RemoteDesktopP2PSignalKind::cancel;
    cancel.sessionID = QUuid::createUuid();
    runSync(session.handleSignal(cancel));
    EXPECT_EQ(session.activeSessionID(), sessionID) << "a foreign cancel closed the session";
    cancel.sessionID = sessionID;
    runSync(session.handleSignal(cancel));
    EXPECT_TRUE(script->closed);
    EXPECT_FALSE(session.activeSessionID());

    script->offerGate->resolve();
    EXPECT_NO_THROW(runSync(std::move(accepting), 10s));
    EXPECT_TRUE(sent.isEmpty());
    EXPECT_FALSE(session.isCapturing());
    EXPECT_FALSE(script->calls.contains(QStringLiteral("answer")));
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
