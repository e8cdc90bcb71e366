// The relay's signal record, its connection flag and signal hook, and the
// agent manager's relay entries.
#include "agent/AgentManager.h"
#include "core/Settings.h"
#include "relay/RelayClient.h"
#include "relay/RemoteDesktopP2PSignal.h"
#include "remotedesktop/RemoteDesktopWebRTCSession.h"

#include "support/TestEnvironment.h"

#include <QSignalSpy>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

QJsonObject parsed(const char *json)
{
    return parseJsonObject(QByteArray(json));
}

class RelayTest : public test::DataHomeTest {};

} // namespace

TEST_F(RelayTest, SignalsTravelWithTheirFieldsAndRejectWhatTheyCannotBe)
{
    RemoteDesktopP2PSignal full;
    full.sessionID = QUuid::createUuid();
    full.kind = RemoteDesktopP2PSignalKind::offer;
    full.sdp = QStringLiteral("v=0\r\n");
    full.candidate = QStringLiteral("candidate:1 1 udp 1 127.0.0.1 5000 typ host");
    full.sdpMid = QStringLiteral("0");
    full.sdpMLineIndex = 1;
    full.runtimeID = QUuid::createUuid();
    full.width = 1200;
    full.height = 840;
    full.quality = RemoteDesktopQuality::quality;
    EXPECT_EQ(RemoteDesktopP2PSignal::fromJson(parseJsonObject(compactJson(full.toJson()))), full);

    // What the tablet sends: lower-case identifiers, nulls for absent fields.
    const RemoteDesktopP2PSignal candidate = RemoteDesktopP2PSignal::fromJson(parsed(
        R"({"sessionID":"0f8fad5b-d9cb-469f-a165-70867728950e","kind":"iceCandidate","candidate":"c","sdpMid":null,"sdpMLineIndex":0})"));
    EXPECT_EQ(candidate.sessionID, QUuid(QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e")));
    EXPECT_EQ(candidate.kind, RemoteDesktopP2PSignalKind::iceCandidate);
    EXPECT_FALSE(candidate.sdpMid);
    EXPECT_EQ(candidate.sdpMLineIndex, 0);
    EXPECT_FALSE(candidate.runtimeID);

    for (const char *bad : {R"({"kind":"offer"})", R"({"sessionID":"0f8fad5b-d9cb-469f-a165-70867728950e","kind":"hello"})",
                            R"({"sessionID":"kein-uuid","kind":"cancel"})",
                            R"({"sessionID":"0f8fad5b-d9cb-469f-a165-70867728950e","kind":"offer","width":"1280"})",
                            R"({"sessionID":"0f8fad5b-d9cb-469f-a165-70867728950e","kind":"offer","quality":"ultra"})"})
        EXPECT_THROW(RemoteDesktopP2PSignal::fromJson(parsed(bad)), DecodingError) << bad;
}

TEST_F(RelayTest, TheClientPublishesItsConnectionAndHandsSignalsToTheSender)
{
    RelayClient client;
    QSignalSpy changes(&client, &RelayClient::isConnectedChanged);
    EXPECT_FALSE(client.isConnected());
    client.setConnected(true);
    client.setConnected(true);
    client.setConnected(false);
    EXPECT_EQ(changes.size(), 2);
    EXPECT_FALSE(client.isConnected());

    RemoteDesktopP2PSignal signal;
    signal.sessionID = QUuid::createUuid();
    signal.kind = RemoteDesktopP2PSignalKind::answer;
    test::LogCapture log;
    client.sendSignal(signal);  // no transport: dropped, said so
    EXPECT_TRUE(log.contains(QStringLiteral("RELAYCLIENT P2P signal dropped")));

    QList<RemoteDesktopP2PSignal> carried;
    client.setSignalSender([&carried](const RemoteDesktopP2PSignal &s) { carried << s; });
    client.sendSignal(signal);
    EXPECT_EQ(carried, QList<RemoteDesktopP2PSignal>{signal});
}

TEST_F(RelayTest, TheAgentsRelayAddressIsTheSettingOrTheBuiltInOneAndCarriesTheSessionsSignals)
{
    AgentManager agent;
    const auto startWith = [&agent](const QString &value) {
        userDefaults()->setValue(QLatin1String(AgentManager::kRelayURLKey), value);
        agent.start(0);
        agent.stop();
        agent.start(0);
    };

    startWith(QString());
    EXPECT_EQ(agent.relayConnectionURL(), AgentManager::builtInRelayURL());
    EXPECT_EQ(agent.status(), QStringLiteral("Online"));

    startWith(QStringLiteral("  wss://relay.example.org:8443/agent \n"));
    EXPECT_EQ(agent.relayConnectionURL(), QUrl(QStringLiteral("wss://relay.example.org:8443/agent")));
    EXPECT_EQ(agent.status(), QStringLiteral("Online"));

    for (const QString &invalid : {QStringLiteral("https://relay.example.org/agent"), QStringLiteral("relay.example.org"),
                                   QStringLiteral("wss://"), QStringLiteral("ws://exa mple.org/")}) {
        startWith(invalid);
        EXPECT_FALSE(agent.relayConnectionURL()) << invalid.toStdString();
        EXPECT_EQ(agent.status(), QStringLiteral("Relay-URL ungültig")) << invalid.toStdString();
        EXPECT_TRUE(agent.server().isRunning());
    }
    agent.stop();

    // The WebRTC session's signals go out through the relay; failures are printed.
    QList<RemoteDesktopP2PSignal> carried;
    agent.relayClient().setSignalSender([&carried](const RemoteDesktopP2PSignal &s) { carried << s; });

    RemoteDesktopP2PSignal signal;
    signal.sessionID = QUuid::createUuid();
    signal.kind = RemoteDesktopP2PSignalKind::iceCandidate;
    signal.candidate = QStringLiteral("c");
    ASSERT_TRUE(RemoteDesktopWebRTCSession::shared().onSignal);
    RemoteDesktopWebRTCSession::shared().onSignal(signal);
    EXPECT_EQ(carried, QList<RemoteDesktopP2PSignal>{signal});

    test::LogCapture log;
    RemoteDesktopP2PSignal incomplete;
    incomplete.sessionID = QUuid::createUuid();
    incomplete.kind = RemoteDesktopP2PSignalKind::offer;
    agent.handleP2PSignal(incomplete);
    EXPECT_TRUE(test::waitUntil([&] { return log.contains(QStringLiteral("P2P Signaling Fehler: P2P-Angebot ist unvollständig.")); }, 5s))
        << log.lines().join('\n').toStdString();
}
