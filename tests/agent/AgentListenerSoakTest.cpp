#include "agent/AgentManager.h"
#include "core/Json.h"
#include "core/Process.h"
#include "remotedesktop/RemoteDesktopServer.h"

#include "support/RemoteDesktopFrame.h"
#include "support/Samples.h"
#include "support/StillFrameSource.h"
#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTcpSocket>

#include <memory>
#include <vector>

using namespace trellium;
using namespace std::chrono_literals;
using test::waitUntil;

namespace {

// The clients, in a process of their own so that the agent's memory,
// descriptors and threads are measured alone. A few connections at a time: a
// burst beyond the kernel's listen backlog leaves clients that think they are
// connected but never reach the agent. Prints how many connections the agent
// closed.
const char *const kClients = R"PY(
import json, select, socket, struct, sys, time, uuid

port, phase, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])

def connect(n):
    clients = []
    for i in range(n):
        clients.append(socket.create_connection(("127.0.0.1", port), timeout=10))
        if i % 20 == 19:
            time.sleep(0.01)
    return clients

def closed_by_agent(clients, seconds):
    poll = select.poll()
    waiting = {c.fileno(): c for c in clients}
    for fd in waiting:
        poll.register(fd, select.POLLIN)
    closed, end = 0, time.monotonic() + seconds
    while waiting and time.monotonic() < end:
        for fd, _ in poll.poll(200):
            try:
                data = waiting[fd].recv(65536)
            except OSError:
                data = b""
            if not data:
                poll.unregister(fd)
                del waiting[fd]
                closed += 1
    return closed

def job(kind):
    return json.dumps({"id": str(uuid.uuid4()).upper(), "kind": kind, "arguments": []}).encode() + b"\n"

closed = 0
if phase == "churn":
    for i in range(count):
        c = socket.create_connection(("127.0.0.1", port), timeout=10)
        if i % 2:
            c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # a reset
        c.close()
        if i % 20 == 19:
            time.sleep(0.005)
elif phase == "idle":
    closed = closed_by_agent(connect(count), 30)
elif phase == "half":
    clients = connect(count)
    for c in clients:
        try:
            c.sendall(b"x" * (700 * 1024))
        except OSError:
            pass
    closed = closed_by_agent(clients, 30)
elif phase == "storm":
    c = socket.create_connection(("127.0.0.1", port), timeout=10)
    c.sendall(b"".join(job("startRemoteDesktopVideo") + job("stopRemoteDesktopVideo") for _ in range(count)))
    time.sleep(0.5)
    c.close()
print(json.dumps({"closed": closed}))
)PY";

// Runs one phase of clients while the agent serves them.
int runClients(const QString &script, uint16_t port, const QString &phase, int count)
{
    ProcessOptions options;
    options.timeout = 120s;
    const ProcessResult result = runSync(runProcess(QStringLiteral("/usr/bin/python3"),
                                                    {script, QString::number(port), phase, QString::number(count)},
                                                    options),
                                         150s);
    EXPECT_TRUE(result.succeeded()) << result.standardError.toStdString();
    return QJsonDocument::fromJson(result.standardOutput)[QLatin1String("closed")].toInt(-1);
}

// How long until a new client that asks for the main display has a whole frame.
qint64 millisecondsToFirstFrame(uint16_t port)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!waitUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }, 10s))
        return -1;
    QElapsedTimer elapsed;
    elapsed.start();
    client.write(test::jobLine(BuildJobKind::startRemoteDesktopVideo));
    QByteArray received;
    const bool framed = waitUntil([&] {
        received += client.readAll();
        return test::RemoteDesktopFrame::take(received).has_value();
    }, 30s);
    const qint64 took = elapsed.elapsed();
    client.write(test::jobLine(BuildJobKind::stopRemoteDesktopVideo));
    waitUntil([] { return !RemoteDesktopServer::shared().isStreaming(); }, 10s);
    client.disconnectFromHost();
    waitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }, 10s);
    return framed ? took : -1;
}

class AgentListenerSoakTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        RemoteDesktopServer::shared().setFrameSourceFactory(
            [](const RemoteDesktopSource &) { return std::make_unique<test::StillFrameSource>(); });
    }

    void TearDown() override
    {
        RemoteDesktopServer::shared().stop();
        RemoteDesktopServer::shared().setFrameSourceFactory({});
        DataHomeTest::TearDown();
    }
};

} // namespace

TEST_F(AgentListenerSoakTest, ChurnIdlersHalfLinesAndAStormLeaveNothingBehind)
{
    test::LogCapture quiet;
    AgentManager agent;
    AgentServer::Options options;
    // The watch's own timing, shortened so the soak stays short.
    options.idleTick = 100ms;
    options.idleTimeout = 1s;
    agent.server().setOptions(options);
    agent.start(0);
    ASSERT_TRUE(agent.server().isRunning());
    const uint16_t port = agent.server().port();

    // One stream first: what x264 and the sockets set up once per process
    // is not what this test looks for.
    ASSERT_GE(millisecondsToFirstFrame(port), 0);
    ASSERT_TRUE(waitUntil([&] { return agent.server().connectionCount() == 0; }, 10s));
    runSync(sleepFor(300ms));
    const qint64 residentBefore = test::residentKiB();
    const int descriptorsBefore = test::openDescriptors();
    const int threadsBefore = test::threadCount();

    QFile script(scratch() + QStringLiteral("/clients.py"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(kClients);
    script.close();

    // 2,000 connections opened and dropped, half of them with a reset.
    EXPECT_EQ(runClients(script.fileName(), port, QStringLiteral("churn"), 2000), 0);
    EXPECT_TRUE(waitUntil([&] { return agent.server().connectionCount() == 0; }, 10s));

    // 500 clients that say nothing: beyond the connection limit they are
    // turned away at once, the others closed by the idle watch.
    EXPECT_EQ(runClients(script.fileName(), port, QStringLiteral("idle"), 500), 500);

    // 100 clients that each send most of a line and stop.
    EXPECT_EQ(runClients(script.fileName(), port, QStringLiteral("half"), 100), 100);

    // A storm of starts and stops.
    runClients(script.fileName(), port, QStringLiteral("storm"), 1500);
    EXPECT_TRUE(waitUntil([&] { return agent.server().connectionCount() == 0; }, 10s));

    // A fresh client is streamed to at once.
    const qint64 firstFrame = millisecondsToFirstFrame(port);
    EXPECT_GE(firstFrame, 0);
    EXPECT_LT(firstFrame, 1000);

    EXPECT_TRUE(waitUntil([&] { return test::openDescriptors() == descriptorsBefore; }, 20s))
        << test::openDescriptors() << " descriptors, " << descriptorsBefore << " before";
    EXPECT_TRUE(waitUntil([&] { return test::threadCount() == threadsBefore; }, 20s))
        << test::threadCount() << " threads, " << threadsBefore << " before";
    const qint64 grown = test::residentKiB() - residentBefore;
    if (!test::sanitized())
        EXPECT_LT(grown, 32 * 1024) << grown << " KiB more";
    agent.stop();
}
