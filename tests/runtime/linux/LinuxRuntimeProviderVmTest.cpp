#include "agent/AgentManager.h"
#include "core/Files.h"
#include "platform/vm/QemuVirtualMachine.h"
#include "remotedesktop/RemoteDesktopServer.h"
#include "remotedesktop/RuntimeDesktopInputController.h"
#include "remotedesktop/RuntimeDisplayHost.h"
#include "runtime/RuntimeManager.h"
#include "runtime/RuntimeSessionManager.h"
#include "runtime/linux/LinuxRuntimeProvider.h"
#include "runtime/linux/LinuxSSHManager.h"

#include "support/H264Decoder.h"
#include "support/RemoteDesktopFrame.h"
#include "support/TestEnvironment.h"
#include "support/TestGuest.h"

#include <csignal>

using namespace trellium;
using namespace std::chrono_literals;
namespace TestGuest = trellium::test::TestGuest;

namespace {

class FrameCollector : public RemoteDesktopConnection {
public:
    void send(const QByteArray &message) override { frames << message; }
    qint64 pendingBytes() const override { return 0; }
    bool isOpen() const override { return true; }
    QList<QByteArray> frames;
};

class LinuxRuntimeProviderVmTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        QString whyNot;
        ASSERT_TRUE(TestGuest::available(&whyNot)) << whyNot.toStdString();
        runtime = TestGuest::prepareRuntime(scratch("workspace"));
        LinuxRuntimeProvider::Dependencies dependencies;
        dependencies.environment.restrictNetwork = true;
        provider = std::make_shared<LinuxRuntimeProvider>(manager.store(), dependencies);
        manager.registerProvider(provider);
        RemoteDesktopServer::shared().setRuntimes(AgentManager::remoteDesktopRuntimes(manager));
    }

    void TearDown() override
    {
        RemoteDesktopServer::shared().stop();
        RemoteDesktopServer::shared().setRuntimes({});
        RuntimeDisplayHost::shared().detach(runtime.id);
        DataHomeTest::TearDown();
    }

    QString runtimeFile(const QString &name) { return manager.store().runtimeDirectory(runtime.id) + "/" + name; }

    RuntimeManager manager;
    std::shared_ptr<LinuxRuntimeProvider> provider;
    RuntimeConfig runtime;
};

} // namespace

TEST_F(LinuxRuntimeProviderVmTest, StartsUsesStreamsTypesIntoStopsAndDeletesARealGuest)
{
    QList<RuntimeState> states;
    const RuntimeConfig running = runSync(
        manager.startRuntime(runtime.id, RuntimeKind::linux, [&states](const RuntimeConfig &c) { states << c.state; }),
        600s);
    EXPECT_EQ(states.mid(0, 4), (QList<RuntimeState>{RuntimeState::starting, RuntimeState::booting,
                                                     RuntimeState::desktopPreparing, RuntimeState::running}));
    EXPECT_EQ(running.state, RuntimeState::running);
    EXPECT_TRUE(running.initialStartCompletedAt);
    EXPECT_EQ(running.ipAddress, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(running.macAddress, QStringLiteral("52:54:00:12:34:56"));
    EXPECT_TRUE(itemExists(runtimeFile("logs/vm-lifecycle.log")));
    EXPECT_TRUE(itemExists(runtimeFile("logs/boot-screen.png")));

    // Commands and a terminal.
    EXPECT_EQ(runSync(LinuxSSHManager().runCommand(running, "cat /etc/hostname"), 60s).trimmed(), QStringLiteral("testguest"));
    QByteArray terminalOutput;
    RuntimeSessionManager::shared().openTerminalSession(running, [&terminalOutput](const QByteArray &chunk) {
        terminalOutput += chunk;
    });
    RuntimeSessionManager::shared().sendTerminalLine(running.id, "echo terminal-$((6*7))");
    EXPECT_TRUE(test::waitUntil([&] { return terminalOutput.contains("terminal-42"); }, 60s))
        << terminalOutput.toStdString();

    // The screen reaches the display host and streams as H.264 that decodes.
    auto collector = std::make_shared<FrameCollector>();
    RemoteDesktopServer::shared().start(collector, RemoteDesktopSource::runtime(runtime.id), 1200, 840, 30, 4'000'000);
    ASSERT_TRUE(test::waitUntil([&] { return collector->frames.size() >= 20; }, 120s));
    test::H264Decoder decoder;
    int brightFrames = 0;
    for (const QByteArray &message : collector->frames) {
        const auto pictures = decoder.decode(test::RemoteDesktopFrame::parse(message).annexB());
        ASSERT_TRUE(pictures && pictures->size() == 1);
        EXPECT_EQ(pictures->first().width, 1200);
        // The guest paints its console white on blue.
        if (pictures->first().colorAt(600, 420).blue() > 80)
            ++brightFrames;
    }
    EXPECT_GT(brightFrames, 0);
    const auto snapshot = RuntimeDisplayHost::shared().snapshot(runtime.id, 1600, 1120);
    ASSERT_TRUE(snapshot);
    EXPECT_GT(snapshot->toImage().pixelColor(800, 560).blue(), 80);

    // Typed text reaches the guest's keyboard.
    RuntimeDesktopInputController input([](const QUuid &id) { return RuntimeDisplayHost::shared().machine(id); });
    RemoteDesktopInputEvent typing;
    typing.kind = RemoteDesktopInputEvent::Kind::textInput;
    typing.text = QStringLiteral("hallo Welt 42\n");
    input.handleInput(runtime.id, typing);
    runSync(input.flush(runtime.id), 60s);
    EXPECT_TRUE(test::waitUntil([&] { return TestGuest::serialLog(runtime).contains("TYPED: hallo Welt 42"); }, 60s))
        << TestGuest::serialLog(runtime).right(2000).toStdString();
    EXPECT_TRUE(test::waitUntil([&] { return itemExists(runtime.workspacePath + "/typed.txt"); }, 30s));

    // Stop ends everything of the runtime.
    auto machine = std::dynamic_pointer_cast<QemuVirtualMachine>(provider->virtualMachine(runtime.id));
    ASSERT_TRUE(machine);
    const qint64 qemu = machine->processId();
    const QList<qint64> shares = machine->shareProcessIds();
    machine.reset();
    states.clear();
    const RuntimeConfig stopped = runSync(
        manager.stopRuntime(runtime.id, RuntimeKind::linux, [&states](const RuntimeConfig &c) { states << c.state; }),
        120s);
    EXPECT_EQ(states, (QList<RuntimeState>{RuntimeState::stopping, RuntimeState::stopped}));
    EXPECT_EQ(stopped.state, RuntimeState::stopped);
    EXPECT_FALSE(RuntimeSessionManager::shared().hasSession(runtime.id));
    EXPECT_FALSE(RemoteDesktopServer::shared().isStreaming());
    EXPECT_EQ(provider->virtualMachine(runtime.id), nullptr);
    EXPECT_TRUE(test::waitUntil([&] { return !test::processAlive(qemu); }, 10s));
    for (const qint64 share : shares)
        EXPECT_TRUE(test::waitUntil([&] { return !test::processAlive(share); }, 10s));

    runSync(manager.deleteRuntime(runtime.id, RuntimeKind::linux));
    EXPECT_FALSE(itemExists(manager.store().runtimeDirectory(runtime.id)));
}

TEST_F(LinuxRuntimeProviderVmTest, AManagerDestroyedWhileItsStartWaitsForTheGuestLeavesNoQemuBehind)
{
    // The agent quits while the guest boots: the start ends, and its QEMU and
    // virtiofsd end with the provider instead of running on without an owner.
    auto quitting = std::make_unique<RuntimeManager>();
    LinuxRuntimeProvider::Dependencies dependencies;
    dependencies.environment.restrictNetwork = true;
    auto owned = std::make_shared<LinuxRuntimeProvider>(quitting->store(), dependencies);
    std::weak_ptr<LinuxRuntimeProvider> watched = owned;
    quitting->registerProvider(std::move(owned));
    QCoro::Task<RuntimeConfig> starting = quitting->startRuntime(runtime.id, RuntimeKind::linux, {});
    std::shared_ptr<QemuVirtualMachine> machine;
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const auto provider = watched.lock();
            machine = std::dynamic_pointer_cast<QemuVirtualMachine>(provider->virtualMachine(runtime.id));
            return machine && machine->state() == VirtualMachineState::running;
        },
        120s));
    const qint64 qemu = machine->processId();
    const QList<qint64> shares = machine->shareProcessIds();
    machine.reset();

    quitting.reset();
    EXPECT_TRUE(watched.expired());
    EXPECT_THROW(runSync(std::move(starting), 60s), CancelledError);
    EXPECT_TRUE(test::waitUntil([&] { return !test::processAlive(qemu); }, 30s));
    for (const qint64 share : shares)
        EXPECT_TRUE(test::waitUntil([&] { return !test::processAlive(share); }, 10s));
}
