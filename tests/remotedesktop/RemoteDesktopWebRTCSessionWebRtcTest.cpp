// The WebRTC session against a real browser-grade peer (werift) on the same
// machine, streaming the test guest's screen.
#include "core/Json.h"
#include "platform/webrtc/GstWebRtcEngine.h"
#include "remotedesktop/QemuInputEvents.h"
#include "remotedesktop/RemoteDesktopWebRTCSession.h"
#include "remotedesktop/RuntimeDesktopInputController.h"
#include "remotedesktop/RuntimeDisplayHost.h"
#include "runtime/RuntimeManager.h"
#include "runtime/linux/LinuxRuntimeProvider.h"

#include "support/H264Decoder.h"
#include "support/TestEnvironment.h"
#include "support/TestGuest.h"
#include "support/WebRtcTestPeer.h"

#include <QDateTime>
#include <QRegularExpression>

using namespace trellium;
using namespace std::chrono_literals;
namespace TestGuest = trellium::test::TestGuest;
using test::WebRtcTestPeer;

// GLib's load-time constructor allocates the first block of its quark table;
// once GStreamer's registrations outgrow it, GLib drops it on purpose (its
// lookups take no lock). Only what shared libraries allocate while being
// loaded is excused: a GStreamer object the session forgets to release still
// counts. GLib keeps no frame pointers, so only full stacks show the loader.
extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char *__lsan_default_suppressions()
{
    return "leak:_dl_init\n";
}

namespace {

bool isLoopbackCandidate(const QString &candidate)
{
    return candidate.contains(QLatin1String(" 127.0.0.1 "));
}

// The offer with only its loopback candidates: ICE can then only connect there.
QString loopbackOnly(const QString &sdp)
{
    QStringList kept;
    for (const QString &line : sdp.split(QStringLiteral("\r\n"))) {
        if (line.startsWith(QLatin1String("a=candidate:")) && !isLoopbackCandidate(line))
            continue;
        kept << line;
    }
    return kept.join(QStringLiteral("\r\n"));
}

QJsonObject signalForPeer(const RemoteDesktopP2PSignal &signal)
{
    QJsonObject message;
    if (signal.kind == RemoteDesktopP2PSignalKind::answer) {
        message.insert(QStringLiteral("type"), QStringLiteral("answer"));
        message.insert(QStringLiteral("sdp"), signal.sdp.value_or(QString()));
    } else {
        message.insert(QStringLiteral("type"), QStringLiteral("candidate"));
        message.insert(QStringLiteral("candidate"), signal.candidate.value_or(QString()));
        if (signal.sdpMid)
            message.insert(QStringLiteral("sdpMid"), *signal.sdpMid);
        message.insert(QStringLiteral("sdpMLineIndex"), qint64(signal.sdpMLineIndex.value_or(0)));
    }
    return message;
}

class RemoteDesktopWebRTCSessionWebRtcTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        QString whyNot;
        ASSERT_TRUE(TestGuest::available(&whyNot)) << whyNot.toStdString();
        ASSERT_TRUE(WebRtcTestPeer::available(&whyNot)) << whyNot.toStdString();
        runtime = TestGuest::prepareRuntime(scratch("workspace"));
        LinuxRuntimeProvider::Dependencies dependencies;
        dependencies.environment.restrictNetwork = true;
        provider = std::make_shared<LinuxRuntimeProvider>(manager.store(), dependencies);
        manager.registerProvider(provider);
    }

    void TearDown() override
    {
        if (provider && provider->virtualMachine(runtime.id))
            runSync(manager.stopRuntime(runtime.id, RuntimeKind::linux, nullptr), 120s);
        RuntimeDisplayHost::shared().detach(runtime.id);
        DataHomeTest::TearDown();
    }

    RuntimeManager manager;
    std::shared_ptr<LinuxRuntimeProvider> provider;
    RuntimeConfig runtime;
};

} // namespace

TEST_F(RemoteDesktopWebRTCSessionWebRtcTest, StreamsTheGuestScreenTakesInputAndStopsOnCancel)
{
    runSync(manager.startRuntime(runtime.id, RuntimeKind::linux, nullptr), 600s);
    ASSERT_TRUE(RuntimeDisplayHost::shared().isAttached(runtime.id));

    // Input through the real controller into the guest, with every step seen.
    QList<QJsonArray> steps;
    RuntimeDesktopInputController input(
        [](QUuid id) { return RuntimeDisplayHost::shared().machine(id); },
        [&steps](std::shared_ptr<VirtualMachine> machine, QJsonArray events) {
            steps << events;
            return RuntimeDesktopInputController::sendThroughQmp(std::move(machine), std::move(events));
        });

    RemoteDesktopWebRTCSession session({std::make_shared<GstWebRtcEngine>(),
                                        RemoteDesktopWebRTCSession::displayHostPictures(), QString()});
    WebRtcTestPeer peer(102);
    QList<RemoteDesktopP2PSignal> sent;
    session.onSignal = [&](const RemoteDesktopP2PSignal &signal) {
        sent << signal;
        // Only loopback candidates reach the peer: the connection must use one.
        if (signal.kind == RemoteDesktopP2PSignalKind::iceCandidate && !isLoopbackCandidate(*signal.candidate))
            return;
        peer.send(signalForPeer(signal));
    };
    QList<double> delivered;  // the x of each move handed to the input controller
    session.onInput = [&input, &delivered](QUuid id, const RemoteDesktopInputEvent &event) {
        delivered << event.normalizedX;
        input.handleInput(id, event);
    };

    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return peer.offer.has_value(); }, 30s));

    const QUuid sessionID = QUuid::createUuid();
    RemoteDesktopP2PSignal offer;
    offer.sessionID = sessionID;
    offer.kind = RemoteDesktopP2PSignalKind::offer;
    offer.sdp = loopbackOnly(*peer.offer);
    offer.runtimeID = runtime.id;
    // The offer is applied while the peer's candidates arrive: they wait for it.
    QCoro::Task<void> accepting = session.handleSignal(offer);
    for (const QJsonObject &candidate : std::as_const(peer.candidates)) {
        RemoteDesktopP2PSignal signal;
        signal.sessionID = sessionID;
        signal.kind = RemoteDesktopP2PSignalKind::iceCandidate;
        signal.candidate = candidate.value(QStringLiteral("candidate")).toString();
        if (!isLoopbackCandidate(*signal.candidate))
            continue;
        signal.sdpMid = candidate.value(QStringLiteral("sdpMid")).toString();
        signal.sdpMLineIndex = candidate.value(QStringLiteral("sdpMLineIndex")).toInteger();
        runSync(session.handleSignal(signal));
    }
    runSync(std::move(accepting), 60s);

    // The answer comes first and names the offer's H.264 payload type.
    ASSERT_FALSE(sent.isEmpty());
    ASSERT_EQ(sent.first().kind, RemoteDesktopP2PSignalKind::answer);
    EXPECT_EQ(sent.first().sessionID, sessionID);
    const QString answer = *sent.first().sdp;
    EXPECT_TRUE(answer.contains(QRegularExpression(QStringLiteral("m=video \\d+ \\S+ 102\\r\\n")))) << answer.toStdString();
    EXPECT_TRUE(answer.contains(QStringLiteral("a=rtpmap:102 H264/90000"))) << answer.toStdString();
    EXPECT_TRUE(answer.contains(QStringLiteral("a=ssrc:"))) << answer.toStdString();
    EXPECT_EQ(session.streamSize(), QSize(1280, 720));

    ASSERT_TRUE(test::waitUntil([&] { return peer.frames.size() >= 3; }, 60s))
        << "ICE " << peer.iceStates.join(',').toStdString() << "; peer errors " << peer.errors.join('\n').toStdString();
    EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const RemoteDesktopP2PSignal &signal) {
        return signal.kind == RemoteDesktopP2PSignalKind::iceCandidate && isLoopbackCandidate(*signal.candidate);
    })) << "the agent offered no loopback candidate";
    EXPECT_TRUE(peer.iceStates.contains("connected") || peer.iceStates.contains("completed"));

    // The still screen keeps streaming: five seconds' worth at 25 frames a
    // second, every one decodable, of the guest's screen. How fast they come
    // depends on the machine; bench_webrtc_latency reports the rate.
    const qsizetype firstCounted = peer.frames.size();
    ASSERT_TRUE(test::waitUntil([&] { return peer.frames.size() >= firstCounted + 125; }, 120s))
        << peer.frames.size() - firstCounted << " frames";

    test::H264Decoder decoder;
    int decoded = 0;
    int blue = 0;
    for (const WebRtcTestPeer::Frame &frame : std::as_const(peer.frames)) {
        EXPECT_EQ(frame.payloadType, 102);
        const auto pictures = decoder.decode(frame.annexB);
        ASSERT_TRUE(pictures) << "frame " << decoded << " does not decode";
        for (const test::H264Picture &picture : *pictures) {
            ++decoded;
            EXPECT_EQ(picture.width, 1280);
            EXPECT_EQ(picture.height, 720);
            EXPECT_FALSE(picture.corrupt);
            // The guest paints its console white on blue.
            if (picture.colorAt(640, 360).blue() > 80)
                ++blue;
        }
    }
    EXPECT_GE(decoded, 125);
    EXPECT_GT(blue, 0);

    // 50 input events in order through the data channel, with messages
    // between them that must be ignored.
    ASSERT_TRUE(test::waitUntil([&] { return peer.channelStates.contains("open"); }, 30s));
    steps.clear();
    delivered.clear();
    for (int i = 0; i < 50; ++i) {
        RemoteDesktopInputEvent event;
        event.kind = RemoteDesktopInputEvent::Kind::mouseMove;
        event.normalizedX = (i + 1) / 51.0;
        event.normalizedY = 0.5;
        peer.send({{"type", "send"}, {"text", QString::fromUtf8(compactJson(event.toJson()))}});
        if (i % 10 == 0) {
            peer.send({{"type", "send"}, {"text", "kein JSON"}});
            peer.send({{"type", "send"}, {"text", R"({"kind":"fly","normalizedX":0.1,"normalizedY":0.1})"}});
            peer.send({{"type", "sendBinary"}, {"base64", QString::fromLatin1(compactJson(event.toJson()).toBase64())}});
        }
    }
    // Every one reaches the input controller, in order and once.
    ASSERT_TRUE(test::waitUntil([&] { return delivered.size() >= 50; }, 60s)) << delivered.size() << " of 50";
    QList<double> expected;
    for (int i = 0; i < 50; ++i)
        expected << (i + 1) / 51.0;
    EXPECT_EQ(delivered, expected);
    // Moves still waiting behind the input pace give way to newer ones, so
    // the guest sees an ordered selection of them that ends at the last.
    const QJsonObject last = qemuAbsoluteEvent(QStringLiteral("x"), 50 / 51.0);
    ASSERT_TRUE(test::waitUntil([&] { return !steps.isEmpty() && steps.last().first().toObject() == last; }, 60s))
        << steps.size() << " steps";
    runSync(input.flush(runtime.id), 60s);
    int previous = 0;
    for (const QJsonArray &step : std::as_const(steps)) {
        int sent = 0;
        for (int i = 1; i <= 50 && !sent; ++i)
            sent = step.first().toObject() == qemuAbsoluteEvent(QStringLiteral("x"), i / 51.0) ? i : 0;
        EXPECT_GT(sent, previous) << "a step out of order or not sent";
        previous = sent;
    }
    EXPECT_EQ(previous, 50);

    // A cancel of another session changes nothing.
    RemoteDesktopP2PSignal cancel;
    cancel.kind = RemoteDesktopP2PSignalKind::cancel;
    cancel.sessionID = QUuid::createUuid();
    runSync(session.handleSignal(cancel));
    const qsizetype beforeForeignCancel = peer.frames.size();
    EXPECT_TRUE(test::waitUntil([&] { return peer.frames.size() >= beforeForeignCancel + 10; }, 10s));
    EXPECT_EQ(session.activeSessionID(), sessionID);

    // A cancel of this one stops the frames within a second.
    cancel.sessionID = sessionID;
    runSync(session.handleSignal(cancel));
    const qint64 cancelledAt = QDateTime::currentMSecsSinceEpoch();
    EXPECT_FALSE(session.activeSessionID());
    runSync(sleepFor(2500ms));
    for (const WebRtcTestPeer::Frame &frame : std::as_const(peer.frames))
        EXPECT_LT(frame.arrivedMs, cancelledAt + 1000) << "frame after the cancel";
}
