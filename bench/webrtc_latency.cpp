// Glass-to-peer latency of the test guest's screen: from the moment a change
// shows in the agent's mirror of the guest's display to the moment it shows
// in a decoded frame at the receiver, over the WebRTC path (webrtcbin to a
// werift peer on loopback) and, in the same run, over the local connection
// (RDH1 frames on the agent's TCP listener). Also the sustained frame rate of
// the still screen on both paths.
//   bench_webrtc_latency [changes per path] [test-guest disk.img]

#include "agent/AgentManager.h"
#include "core/Async.h"
#include "core/Json.h"
#include "platform/webrtc/GstWebRtcEngine.h"
#include "remotedesktop/RemoteDesktopServer.h"
#include "remotedesktop/RemoteDesktopWebRTCSession.h"
#include "remotedesktop/RuntimeDisplayHost.h"
#include "runtime/linux/LinuxRuntimeProvider.h"
#include "runtime/linux/LinuxSSHManager.h"

#include "support/H264Decoder.h"
#include "support/TestEnvironment.h"
#include "support/TestGuest.h"
#include "support/WebRtcTestPeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstdio>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

enum class Colour { other, red, blue };

Colour colourOf(const QColor &colour)
{
    if (colour.red() > 120 && colour.blue() < 90)
        return Colour::red;
    if (colour.blue() > 120 && colour.red() < 90)
        return Colour::blue;
    return Colour::other;
}

QElapsedTimer &benchClock()
{
    static QElapsedTimer timer;
    if (!timer.isValid())
        timer.start();
    return timer;
}

// What a receiver decoded last, and when each colour first appeared.
struct Receiver {
    test::H264Decoder decoder;
    Colour shown = Colour::other;
    qint64 shownAtMs = -1;
    int frames = 0;

    void decode(const QByteArray &annexB)
    {
        const auto pictures = decoder.decode(annexB);
        if (!pictures)
            return;
        for (const test::H264Picture &picture : *pictures) {
            ++frames;
            const Colour colour = colourOf(picture.colorAt(picture.width / 2, picture.height / 2));
            if (colour != shown) {
                shown = colour;
                shownAtMs = benchClock().elapsed();
            }
        }
    }
};

// RDH1 frames (and event lines) from the agent's local listener.
class LocalClient : public QObject {
public:
    explicit LocalClient(Receiver &receiver) : m_receiver(receiver)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this]() { read(); });
    }

    QTcpSocket socket;

private:
    void read()
    {
        m_buffer += socket.readAll();
        for (;;) {
            if (m_buffer.startsWith("RDH1")) {
                if (m_buffer.size() < 24)
                    return;
                const uint32_t length = qFromLittleEndian<uint32_t>(m_buffer.constData() + 16);
                const uint16_t sps = qFromLittleEndian<uint16_t>(m_buffer.constData() + 20);
                const uint16_t pps = qFromLittleEndian<uint16_t>(m_buffer.constData() + 22);
                const qsizetype total = 24 + sps + pps + qsizetype(length);
                if (m_buffer.size() < total)
                    return;
                m_receiver.decode(test::h264AnnexB(
                    m_buffer.mid(24 + sps + pps, length), sps ? std::optional(m_buffer.mid(24, sps)) : std::nullopt,
                    pps ? std::optional(m_buffer.mid(24 + sps, pps)) : std::nullopt));
                m_buffer.remove(0, total);
            } else {
                const qsizetype end = m_buffer.indexOf('\n');
                if (end < 0)
                    return;
                std::fprintf(stderr, "event: %s\n", m_buffer.left(end).constData());
                m_buffer.remove(0, end + 1);
            }
        }
    }

    Receiver &m_receiver;
    QByteArray m_buffer;
};

double percentile(QList<qint64> values, double p)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    const qsizetype index = std::min<qsizetype>(values.size() - 1, qsizetype(p * double(values.size() - 1) + 0.5));
    return double(values[index]);
}

// Paints the guest's console red or blue, then waits for the mirror and the
// receiver to show it. Latencies in ms, one per change seen at both ends.
QList<qint64> measure(const RuntimeConfig &runtime, Receiver &receiver, int changes)
{
    RuntimeDisplayView *view = RuntimeDisplayHost::shared().view(runtime.id);
    Colour mirrored = Colour::other;
    qint64 mirroredAtMs = -1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (!view || !view->mirror)
            return;
        const PixelBuffer picture = view->mirror->snapshot(16, 16);
        if (!picture.isValid())
            return;
        const uchar *pixel = picture.row(8) + 8 * 4;
        const Colour colour = colourOf(QColor(pixel[2], pixel[1], pixel[0]));
        if (colour != mirrored) {
            mirrored = colour;
            mirroredAtMs = benchClock().elapsed();
        }
    });
    poll.start(1);

    QList<qint64> latencies;
    for (int i = 0; i < changes; ++i) {
        const Colour target = i % 2 == 0 ? Colour::red : Colour::blue;
        const QString command = target == Colour::red ? QStringLiteral("printf '\\033[41m\\033[2J' > /dev/tty1")
                                                       : QStringLiteral("printf '\\033[44m\\033[2J' > /dev/tty1");
        try {
            runSync(LinuxSSHManager().runCommand(runtime, command), 60s);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "change %d: %s\n", i, qPrintable(describeError(error)));
            continue;
        }
        const bool seen = test::waitUntil([&] { return mirrored == target && receiver.shown == target; }, 10s);
        if (seen)
            latencies << std::max<qint64>(0, receiver.shownAtMs - mirroredAtMs);
        else
            std::fprintf(stderr, "change %d not seen at both ends\n", i);
    }
    return latencies;
}

// Frames a second the receiver decodes while nothing else happens.
double frameRate(const Receiver &receiver, std::chrono::seconds span)
{
    const int before = receiver.frames;
    QElapsedTimer elapsed;
    elapsed.start();
    runSync(sleepFor(span), span + 30s);
    return (receiver.frames - before) * 1000.0 / double(std::max<qint64>(1, elapsed.elapsed()));
}

void print(const char *path, const QList<qint64> &latencies, int changes, int frames)
{
    std::printf("  %-18s p50 %5.0f ms   p95 %5.0f ms   (%lld of %d changes, %d frames decoded)\n", path,
                percentile(latencies, 0.5), percentile(latencies, 0.95), qlonglong(latencies.size()), changes, frames);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int changes = argc > 1 ? std::max(4, atoi(argv[1])) : 30;
    const QString image = argc > 2 ? QString::fromLocal8Bit(argv[2])
                                   : QCoreApplication::applicationDirPath() + QStringLiteral("/../test-guest/disk.img");
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("TRELLIUM_TEST_GUEST", image.toLocal8Bit());
    QString whyNot;
    if (!test::TestGuest::available(&whyNot) || !test::WebRtcTestPeer::available(&whyNot)) {
        std::fprintf(stderr, "skipped: %s\n", qPrintable(whyNot));
        return 1;
    }
    benchClock();

    AgentManager agent;
    LinuxRuntimeProvider::Dependencies dependencies;
    dependencies.environment.restrictNetwork = true;
    agent.runtimeManager().registerProvider(
        std::make_shared<LinuxRuntimeProvider>(agent.runtimeManager().store(), dependencies));
    QDir().mkpath(home.filePath(QStringLiteral("workspace")));
    const RuntimeConfig prepared = test::TestGuest::prepareRuntime(home.filePath(QStringLiteral("workspace")));
    const RuntimeConfig runtime = runSync(agent.runtimeManager().startRuntime(prepared.id, RuntimeKind::linux, nullptr), 600s);
    agent.start(0);

    // The local connection: a startRemoteDesktopVideo job for the runtime (1200 x 840).
    Receiver local;
    LocalClient client(local);
    client.socket.connectToHost(QHostAddress::LocalHost, agent.server().port());
    if (!client.socket.waitForConnected(5000)) {
        std::fprintf(stderr, "local listener unreachable\n");
        return 1;
    }
    const QJsonObject job{{"id", uuidText(QUuid::createUuid())}, {"kind", "startRemoteDesktopVideo"},
                          {"arguments", QJsonArray()}, {"runtimeID", uuidText(runtime.id)}};
    client.socket.write(compactJson(job) + '\n');
    test::waitUntil([&] { return local.frames > 30; }, 60s);
    const double localRate = frameRate(local, 5s);
    const QList<qint64> localLatencies = measure(runtime, local, changes);
    RemoteDesktopServer::shared().stop();

    // The WebRTC path at the same size.
    RemoteDesktopWebRTCSession session({std::make_shared<GstWebRtcEngine>(),
                                        RemoteDesktopWebRTCSession::displayHostPictures(), QString()});
    // Level 3.1, as common stacks offer whatever their decoders can do.
    test::WebRtcTestPeer peer(QStringLiteral("H264/102/42e01f"));
    Receiver remote;
    qsizetype decodedFrames = 0;
    peer.onMessage = [&](const QJsonObject &) {
        while (decodedFrames < peer.frames.size())
            remote.decode(peer.frames[decodedFrames++].annexB);
    };
    session.onSignal = [&peer](const RemoteDesktopP2PSignal &signal) { peer.send(signal.toJson()); };
    if (!peer.start(&whyNot) || !test::waitUntil([&] { return peer.offer.has_value(); }, 30s)) {
        std::fprintf(stderr, "werift peer did not offer: %s\n", qPrintable(whyNot));
        return 1;
    }
    RemoteDesktopP2PSignal offer;
    offer.sessionID = QUuid::createUuid();
    offer.kind = RemoteDesktopP2PSignalKind::offer;
    offer.sdp = *peer.offer;
    offer.runtimeID = runtime.id;
    offer.width = 1200;
    offer.height = 840;
    runSync(session.handleSignal(offer), 60s);
    std::fprintf(stderr, "WebRTC stream: %dx%d\n", session.streamSize().width(), session.streamSize().height());
    test::waitUntil([&] { return remote.frames > 30; }, 60s);
    const double webrtcRate = frameRate(remote, 5s);
    const QList<qint64> webrtcLatencies = measure(runtime, remote, changes);
    session.close();

    std::printf("glass-to-peer latency, test guest's screen at 1200x840 (mirror change -> decoded frame):\n");
    print("local connection", localLatencies, changes, local.frames);
    print("WebRTC (werift)", webrtcLatencies, changes, remote.frames);
    std::printf("frames a second of the still screen over 5 s (target: at least 25):\n");
    std::printf("  %-18s %5.1f\n  %-18s %5.1f\n", "local connection", localRate, "WebRTC (werift)", webrtcRate);

    agent.stop();
    runSync(agent.runtimeManager().stopRuntime(runtime.id, RuntimeKind::linux, nullptr), 120s);
    return 0;
}
