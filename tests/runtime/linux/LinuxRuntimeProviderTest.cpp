#include "core/Files.h"
#include "remotedesktop/RemoteDesktopServer.h"
#include "remotedesktop/RuntimeDisplayHost.h"
#include "runtime/RuntimeError.h"
#include "runtime/RuntimeSessionManager.h"
#include "runtime/linux/LinuxRuntimeProvider.h"
#include "runtime/linux/LinuxSSHPortRegistry.h"
#include "runtime/linux/LinuxSerialConsoleRegistry.h"

#include "support/Samples.h"
#include "support/ScriptedMachine.h"
#include "support/TestEnvironment.h"
#include "support/VirtualTime.h"

using namespace trellium;
using namespace std::chrono_literals;

namespace {

class NullConnection : public RemoteDesktopConnection {
public:
    void send(const QByteArray &) override {}
    qint64 pendingBytes() const override { return 0; }
    bool isOpen() const override { return true; }
};

// A guest that answers the start sequence's commands the way a provisioned
// one does; each answer can be replaced per test.
struct GuestScript {
    std::function<QString()> hostname = [] { return QStringLiteral("runtime1\n"); };
    std::function<QString()> cloudInit = [] { return QStringLiteral("status: done\n"); };
    std::function<QString()> desktop = [] { return QStringLiteral("READY\n"); };
    std::function<QString()> mac = [] { return QStringLiteral("52:54:00:aa:bb:cc\n"); };
    std::function<void()> powerOff = [] {};
};

class LinuxRuntimeProviderTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        runtime = test::sampleRuntime(scratch("workspace"));
        store.saveRuntimeConfig(runtime);
        sleeper = std::make_shared<test::VirtualSleeper>();
        ssh = std::make_shared<test::FakeSSHRunner>([this](const RuntimeConfig &r, const QString &command) {
            return answer(r, command);
        });
        LinuxRuntimeProvider::Dependencies dependencies;
        dependencies.makeMachine = [this](const VirtualMachineConfiguration &) {
            auto made = std::make_shared<test::ScriptedMachine>();
            machines.push_back(made);
            return made;
        };
        dependencies.ssh = ssh;
        dependencies.sleeper = sleeper;
        dependencies.addressSources.arpPath = scratch() + "/no-arp";
        dependencies.addressSources.leaseFiles = {};
        provider = std::make_unique<LinuxRuntimeProvider>(store, dependencies);
    }

    void TearDown() override
    {
        provider.reset();
        LinuxSerialConsoleRegistry::shared().stopCaptures(runtime.id);
        RuntimeDisplayHost::shared().detach(runtime.id);
        RuntimeSessionManager::shared().closeTerminalSession(runtime.id);
        RemoteDesktopServer::shared().stop();
        DataHomeTest::TearDown();
    }

    QString answer(const RuntimeConfig &r, const QString &command)
    {
        if (r.ipAddress != QLatin1String("127.0.0.1"))
            throw DomainError("SSH", 255, "ssh: connect to host " + r.ipAddress.value_or("") + " port 22: Connection refused");
        if (command == LinuxRuntimeIPResolver::kHostnameCommand)
            return guest.hostname();
        if (command == LinuxRuntimeProvider::cloudInitScript())
            return guest.cloudInit();
        if (command == LinuxRuntimeProvider::desktopScript())
            return guest.desktop();
        if (command.startsWith("for i in /sys/class/net/*"))
            return guest.mac();
        if (command == "sudo poweroff || sudo shutdown -h now || true") {
            guest.powerOff();
            return {};
        }
        return {};
    }

    QList<RuntimeState> start()
    {
        QList<RuntimeState> states;
        runSync(provider->startRuntime(runtime.id, [&states](const RuntimeConfig &c) { states << c.state; }), 60s);
        return states;
    }

    QString startError(QList<RuntimeState> *states = nullptr)
    {
        try {
            runSync(provider->startRuntime(runtime.id, [states](const RuntimeConfig &c) {
                if (states)
                    *states << c.state;
            }), 60s);
        } catch (const std::exception &error) {
            return describeError(error);
        }
        return QStringLiteral("<no error>");
    }

    QString deleteError()
    {
        try {
            runSync(provider->deleteRuntime(runtime.id));
        } catch (const std::exception &error) {
            return describeError(error);
        }
        return QStringLiteral("<no error>");
    }

    RuntimeStore store;
    RuntimeConfig runtime;
    GuestScript guest;
    std::shared_ptr<test::VirtualSleeper> sleeper;
    std::shared_ptr<test::FakeSSHRunner> ssh;
    std::vector<std::shared_ptr<test::ScriptedMachine>> machines;
    std::unique_ptr<LinuxRuntimeProvider> provider;
};

} // namespace

TEST_F(LinuxRuntimeProviderTest, ProbeScriptsAreExactlyAsLong)
{
    EXPECT_EQ(LinuxRuntimeProvider::cloudInitScript().size(), 165);
    EXPECT_EQ(LinuxRuntimeProvider::desktopScript().size(), 359);
    const QString plain = LinuxRuntimeProvider::templateScript("ubuntu-24.04-amd64");
    EXPECT_EQ(plain.size(), 312 + 36);
    EXPECT_TRUE(plain.contains("then\n  \n  echo READY"));
    EXPECT_EQ(LinuxRuntimeProvider::templateScript("archlinux-x86_64").size(), 312 + 262 + 36);
}

TEST_F(LinuxRuntimeProviderTest, StartWalksThroughEveryStateToARunningDesktop)
{
    test::LogCapture log;
    const QList<RuntimeState> states = start();
    EXPECT_EQ(states, (QList<RuntimeState>{RuntimeState::starting, RuntimeState::booting,
                                           RuntimeState::desktopPreparing, RuntimeState::running,
                                           RuntimeState::running}));
    const RuntimeConfig stored = store.readRuntime(runtime.id);
    EXPECT_EQ(stored.state, RuntimeState::running);
    EXPECT_EQ(stored.ipAddress, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(stored.macAddress, QStringLiteral("52:54:00:aa:bb:cc"));
    ASSERT_TRUE(stored.initialStartCompletedAt);
    EXPECT_EQ(provider->virtualMachine(runtime.id), machines.at(0));
    EXPECT_EQ(LinuxSSHPortRegistry::shared().port(runtime.id), std::optional<uint16_t>(40022));
    EXPECT_TRUE(RuntimeDisplayHost::shared().isAttached(runtime.id));

    QStringList milestones;
    for (const QString &line : log.lines()) {
        if (line.startsWith("START ") || line.startsWith("TRELLIUM desktop") || line.startsWith("Runtime MAC"))
            milestones << line;
    }
    EXPECT_EQ(milestones, (QStringList{"START 1 load runtime", "START 2 config created", "START 3 vm object created",
                                       "START 4 before vm.start", "START 5 after vm.start state: 1",
                                       "TRELLIUM desktop is ready", "Runtime MAC saved: 52:54:00:aa:bb:cc"}));
    // The guest got the desktop service and keyboard commands once each.
    int serviceCommands = 0;
    for (const auto &call : ssh->calls)
        serviceCommands += call.command.startsWith("sudo systemctl daemon-reload") ? 1 : 0;
    EXPECT_EQ(serviceCommands, 1);

    provider->vmDelegates().value(runtime.id)->flush();
    const QString lifecycle = QString::fromUtf8(
        readWholeFile(LinuxDiskManager().runtimeDirectory(runtime.id) + "/logs/vm-lifecycle.log"));
    EXPECT_TRUE(lifecycle.contains("] runtime start requested\n"));
    EXPECT_TRUE(lifecycle.contains("] runtime start succeeded state=1\n"));

    // A running runtime is not started a second time.
    EXPECT_EQ(startError(), QStringLiteral("Die Runtime läuft bereits. Stoppe sie zuerst."));
    EXPECT_EQ(machines.size(), 1u);
}

TEST_F(LinuxRuntimeProviderTest, FirstCompletionDateIsKeptAndUnusableMacOutputKeepsTheStoredAddress)
{
    const QDateTime first = QDateTime::currentDateTimeUtc().addDays(-3);
    runtime.initialStartCompletedAt = first;
    runtime.macAddress = QStringLiteral("52:54:00:12:34:56");
    store.saveRuntimeConfig(runtime);
    guest.mac = [] { return QStringLiteral("garbage\n"); };
    test::LogCapture log;
    start();
    const RuntimeConfig stored = store.readRuntime(runtime.id);
    EXPECT_EQ(stored.initialStartCompletedAt->toSecsSinceEpoch(), first.toSecsSinceEpoch());
    EXPECT_EQ(stored.macAddress, QStringLiteral("52:54:00:12:34:56"));
    EXPECT_EQ(stored.state, RuntimeState::running);
    EXPECT_TRUE(log.contains("Failed to read runtime MAC: "));
}

TEST_F(LinuxRuntimeProviderTest, UnreachableGuestFailsAfterThirtyOrNinetyAttemptsAndIsKilled)
{
    guest.hostname = []() -> QString { throw DomainError("SSH", 255, "Connection timed out"); };
    for (const QString &distro : {QStringLiteral("ubuntu-24.04-amd64"), QStringLiteral("archlinux-x86_64")}) {
        runtime.distro = distro;
        store.saveRuntimeConfig(runtime);
        sleeper->pauses.clear();
        test::LogCapture log;
        QList<RuntimeState> states;
        EXPECT_EQ(startError(&states), QStringLiteral("Keine Runtime-IP gefunden für runtime1"));
        const int attempts = distro == "archlinux-x86_64" ? 90 : 30;
        EXPECT_EQ(log.count("Runtime IP resolve attempt "), attempts) << distro.toStdString();
        EXPECT_EQ(states, (QList<RuntimeState>{RuntimeState::starting, RuntimeState::booting, RuntimeState::failed}));
        const RuntimeConfig stored = store.readRuntime(runtime.id);
        EXPECT_EQ(stored.state, RuntimeState::failed);
        EXPECT_EQ(stored.ipAddress, std::nullopt);
        // The diagnostics, then the cause.
        EXPECT_TRUE(log.contains("===== SERIAL LOG ====="));
        EXPECT_TRUE(log.contains("===== VM LIFECYCLE LOG ====="));
        EXPECT_TRUE(log.contains("No TRELLIUM network diagnostics in workspace: " + runtime.workspacePath));
        EXPECT_EQ(log.lines().last(), QStringLiteral("Runtime IP resolve failed: Keine Runtime-IP gefunden für runtime1"));
        // The failed start killed its machine and forgot it.
        EXPECT_EQ(machines.back()->stops, 1);
        EXPECT_EQ(provider->virtualMachine(runtime.id), nullptr);
        EXPECT_FALSE(LinuxSSHPortRegistry::shared().port(runtime.id));
    }
}

TEST_F(LinuxRuntimeProviderTest, FailingDesktopPrintsDiagnosticsAndWorkspaceReportsInOrder)
{
    writeFileAtomically(runtime.workspacePath + "/trellium-network-debug-b.txt", "second");
    writeFileAtomically(runtime.workspacePath + "/trellium-network-debug-a.txt", QByteArray(20000, 'x') + "end");
    writeFileAtomically(runtime.workspacePath + "/other.txt", "ignored");
    int attempts = 0;
    guest.desktop = [&attempts] { return ++attempts == 3 ? QStringLiteral("FATAL_TTY\n") : QStringLiteral("WAITING\n"); };
    test::LogCapture log;
    EXPECT_EQ(startError(), QStringLiteral("Xorg konnte nicht auf die virtuelle Konsole zugreifen."));
    const QStringList lines = log.lines();
    const qsizetype a = lines.indexOf("===== WORKSPACE NETWORK DIAGNOSTIC: trellium-network-debug-a.txt =====");
    const qsizetype b = lines.indexOf("===== WORKSPACE NETWORK DIAGNOSTIC: trellium-network-debug-b.txt =====");
    ASSERT_GE(a, 0);
    ASSERT_GT(b, a);
    EXPECT_EQ(lines.at(a + 1).size(), 12000);
    EXPECT_TRUE(lines.at(a + 1).endsWith("end"));
    EXPECT_FALSE(log.contains("other.txt"));
    EXPECT_EQ(log.count("Desktop not ready attempt "), 2);
    EXPECT_TRUE(log.contains("RuntimeDisplayHost diagnostic snapshot"));
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::failed);
}

TEST_F(LinuxRuntimeProviderTest, RecordRemovedWhileBootingEndsWithNotFoundInsteadOfTheCause)
{
    guest.cloudInit = [this]() -> QString {
        removeItem(store.recordPath(runtime.id));
        throw DomainError("SSH", 255, "gone");
    };
    sleeper->onPause = [](int) {};
    guest.hostname = [] { return QStringLiteral("runtime1\n"); };
    // Cloud-init never gets ready: the probe eventually fails, then the record is missing.
    EXPECT_EQ(startError(), "Runtime nicht gefunden: " + uuidText(runtime.id));
}

TEST_F(LinuxRuntimeProviderTest, CloudInitProbeLimitsAndErrors)
{
    RuntimeConfig record = runtime;
    record.ipAddress = QStringLiteral("127.0.0.1");
    auto probe = [&]() -> QString {
        try {
            runSync(provider->waitForCloudInit(record), 60s);
            return QStringLiteral("ready");
        } catch (const DomainError &error) {
            return QStringLiteral("%1 %2").arg(error.code()).arg(error.localizedDescription());
        }
    };
    {
        guest.cloudInit = []() -> QString { throw DomainError("SSH", 255, "refused"); };
        test::LogCapture log;
        EXPECT_EQ(probe(), QStringLiteral("997 Cloud-Init wurde nicht rechtzeitig abgeschlossen."));
        EXPECT_EQ(log.count("Cloud-init SSH temporarily unavailable attempt "), 900);
        EXPECT_EQ(sleeper->elapsed, 900 * 3s);
    }
    guest.cloudInit = [] { return QStringLiteral("status: error\n"); };
    EXPECT_EQ(probe(), QStringLiteral("998 Cloud-Init konnte die Runtime nicht vollständig vorbereiten."));
    guest.cloudInit = [] { return QStringLiteral("ERROR\nREADY\n"); };
    EXPECT_EQ(probe(), QStringLiteral("ready"));
    guest.cloudInit = [] { return QStringLiteral("status: done\n"); };
    EXPECT_EQ(probe(), QStringLiteral("ready"));
    sleeper->pauses.clear();
    guest.cloudInit = [] { return QStringLiteral("status: running\n"); };
    EXPECT_EQ(probe(), QStringLiteral("997 Cloud-Init wurde nicht rechtzeitig abgeschlossen."));
    EXPECT_EQ(sleeper->pauses.size(), 900);
}

TEST_F(LinuxRuntimeProviderTest, DesktopAndTemplateProbeLimits)
{
    RuntimeConfig record = runtime;
    record.ipAddress = QStringLiteral("127.0.0.1");
    auto code = [](std::function<void()> call) {
        try {
            call();
        } catch (const DomainError &error) {
            return QStringLiteral("%1 %2").arg(error.domain()).arg(error.code());
        }
        return QStringLiteral("ready");
    };

    guest.desktop = [] { return QStringLiteral("WAITING\n"); };
    EXPECT_EQ(code([&] { runSync(provider->waitForDesktop(record), 60s); }), QStringLiteral("Runtime 999"));
    EXPECT_EQ(sleeper->pauses.size(), 90);  // the last pause comes before the error

    // Template provisioning: ssh's own failures are retried, anything else ends it.
    int calls = 0;
    auto templateSSH = std::make_shared<test::FakeSSHRunner>([&calls](const RuntimeConfig &, const QString &) -> QString {
        ++calls;
        if (calls <= 2)
            throw DomainError("SSH", 255, "Connection reset");
        if (calls == 3)
            return QStringLiteral("WAITING\n");
        return QStringLiteral("READY\n");
    });
    LinuxRuntimeProvider::Dependencies dependencies;
    dependencies.ssh = templateSSH;
    dependencies.sleeper = sleeper;
    LinuxRuntimeProvider templates(store, dependencies);
    EXPECT_EQ(code([&] { runSync(templates.waitForTemplateProvisioning(record), 60s); }), QStringLiteral("ready"));
    EXPECT_EQ(calls, 4);

    calls = 10;
    auto failing = std::make_shared<test::FakeSSHRunner>([](const RuntimeConfig &, const QString &) -> QString {
        throw DomainError("SSH", 1, "sh: syntax error");
    });
    dependencies.ssh = failing;
    LinuxRuntimeProvider broken(store, dependencies);
    EXPECT_EQ(code([&] { runSync(broken.waitForTemplateProvisioning(record), 60s); }), QStringLiteral("SSH 1"));
    EXPECT_EQ(failing->calls.size(), 1);

    auto waiting = std::make_shared<test::FakeSSHRunner>([](const RuntimeConfig &, const QString &) {
        return QStringLiteral("WAITING\n");
    });
    dependencies.ssh = waiting;
    LinuxRuntimeProvider slow(store, dependencies);
    EXPECT_EQ(code([&] { runSync(slow.waitForTemplateProvisioning(record), 60s); }), QStringLiteral("Runtime 996"));
    EXPECT_EQ(waiting->calls.size(), 180);
}

TEST_F(LinuxRuntimeProviderTest, StopPowersOffWaitsAndForcesOnlyWhenNeeded)
{
    start();
    auto machine = machines.at(0);
    guest.powerOff = [machine] { machine->guestPowersOff(); };
    sleeper->elapsed = 0ms;
    QList<RuntimeState> states;
    runSync(provider->stopRuntime(runtime.id, [&states](const RuntimeConfig &c) { states << c.state; }), 60s);
    EXPECT_EQ(states, (QList<RuntimeState>{RuntimeState::stopping, RuntimeState::stopped}));
    EXPECT_EQ(machine->stops, 0);              // powered off by itself
    EXPECT_LT(sleeper->elapsed, 1000ms);       // no 8 s wait for a stopped machine
    EXPECT_EQ(provider->virtualMachine(runtime.id), nullptr);
    EXPECT_FALSE(RuntimeDisplayHost::shared().isAttached(runtime.id));
    EXPECT_EQ(LinuxSerialConsoleRegistry::shared().capture(runtime.id, "system-console"), nullptr);
    const RuntimeConfig stopped = store.readRuntime(runtime.id);
    EXPECT_EQ(stopped.state, RuntimeState::stopped);
    EXPECT_EQ(stopped.ipAddress, QStringLiteral("127.0.0.1"));  // kept for the next start to try

    // A guest that ignores the power-off is stopped by force after 8 s.
    start();
    guest.powerOff = [] {};
    sleeper->elapsed = 0ms;
    runSync(provider->stopRuntime(runtime.id, {}), 60s);
    EXPECT_EQ(machines.at(1)->stops, 1);
    EXPECT_EQ(sleeper->elapsed, 8500ms);
}

TEST_F(LinuxRuntimeProviderTest, ForcedStopThatFailsKeepsTheMachineAndTheStoppingRecord)
{
    start();
    machines.at(0)->failStop = true;
    EXPECT_THROW(runSync(provider->stopRuntime(runtime.id, {}), 60s), DomainError);
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::stopping);
    EXPECT_EQ(provider->virtualMachine(runtime.id), machines.at(0));

    // Without an address no power-off is sent, and the 8 s are waited anyway.
    machines.at(0)->failStop = false;
    machines.at(0)->setState(VirtualMachineState::stopped);
    RuntimeConfig record = store.readRuntime(runtime.id);
    record.ipAddress.reset();
    store.saveRuntimeConfig(record);
    ssh->calls.clear();
    sleeper->elapsed = 0ms;
    provider.reset();
    LinuxRuntimeProvider::Dependencies dependencies;
    dependencies.ssh = ssh;
    dependencies.sleeper = sleeper;
    LinuxRuntimeProvider fresh(store, dependencies);
    runSync(fresh.stopRuntime(runtime.id, {}), 60s);
    EXPECT_TRUE(ssh->calls.isEmpty());
    EXPECT_EQ(sleeper->elapsed, 8500ms);
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::stopped);
}

TEST_F(LinuxRuntimeProviderTest, AStopCancelsAStartThatIsStillUnderWay)
{
    guest.cloudInit = [] { return QStringLiteral("status: running\n"); };
    std::optional<QCoro::Task<void>> stop;
    std::optional<QString> secondStart;
    sleeper->onPause = [&](int pause) {
        if (pause == 5 && !stop) {
            // Another start of the same runtime is refused while this one runs.
            try {
                runSync(provider->startRuntime(runtime.id, {}));
                secondStart = QStringLiteral("<started>");
            } catch (const std::exception &error) {
                secondStart = describeError(error);
            }
            stop = provider->stopRuntime(runtime.id, {});
        }
    };
    EXPECT_THROW(runSync(provider->startRuntime(runtime.id, {}), 60s), CancelledError);
    ASSERT_TRUE(stop);
    runSync(std::move(*stop), 60s);
    EXPECT_EQ(secondStart, QStringLiteral("Die Runtime wird gerade gestartet oder gestoppt. Bitte warte, bis der "
                                          "Vorgang abgeschlossen ist."));
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::stopped);
    EXPECT_EQ(provider->virtualMachine(runtime.id), nullptr);
    EXPECT_LT(sleeper->pauses.size(), 60);  // it did not run out its attempts
}

TEST_F(LinuxRuntimeProviderTest, DeletionNeedsAStoppedRuntimeAndEndsEverythingOfIt)
{
    start();
    EXPECT_EQ(deleteError(), QStringLiteral("Runtime kann im Zustand running nicht gelöscht werden. Stoppe sie zuerst."));
    // A failed record whose machine still runs is refused naming failed.
    RuntimeConfig record = store.readRuntime(runtime.id);
    record.state = RuntimeState::failed;
    store.saveRuntimeConfig(record);
    EXPECT_EQ(deleteError(), QStringLiteral("Runtime kann im Zustand failed nicht gelöscht werden. Stoppe sie zuerst."));
    EXPECT_TRUE(itemExists(store.runtimeDirectory(runtime.id)));

    machines.at(0)->guestPowersOff();
    // A terminal on the runtime (its ssh cannot reach anything here; the session exists all the same).
    RuntimeSessionManager::shared().openTerminalSession(store.readRuntime(runtime.id), [](const QByteArray &) {});
    ASSERT_TRUE(RuntimeSessionManager::shared().hasSession(runtime.id));
    auto connection = std::make_shared<NullConnection>();
    RemoteDesktopServer::shared().start(connection, RemoteDesktopSource::runtime(runtime.id), 1200, 840, 30, 4'000'000);
    EXPECT_EQ(deleteError(), QStringLiteral("<no error>"));
    EXPECT_FALSE(itemExists(store.runtimeDirectory(runtime.id)));
    EXPECT_EQ(RemoteDesktopServer::shared().currentSource(), RemoteDesktopSource::none());
    EXPECT_FALSE(RuntimeDisplayHost::shared().isAttached(runtime.id));
    EXPECT_FALSE(RuntimeSessionManager::shared().hasSession(runtime.id));
    EXPECT_EQ(LinuxSerialConsoleRegistry::shared().capture(runtime.id, "legacy-serial"), nullptr);
    EXPECT_EQ(provider->virtualMachine(runtime.id), nullptr);
    EXPECT_EQ(deleteError(), "Runtime nicht gefunden: " + uuidText(runtime.id));
}

TEST_F(LinuxRuntimeProviderTest, DeletingAnotherRuntimeLeavesTheStreamRunning)
{
    RuntimeConfig other = test::sampleRuntime(runtime.workspacePath);
    store.saveRuntimeConfig(other);
    auto connection = std::make_shared<NullConnection>();
    RemoteDesktopServer::shared().start(connection, RemoteDesktopSource::test(), 640, 480, 30, 0);
    runSync(provider->deleteRuntime(other.id));
    EXPECT_EQ(RemoteDesktopServer::shared().currentSource(), RemoteDesktopSource::test());
}
