#include "core/Files.h"
#include "core/Settings.h"
#include "remotedesktop/RemoteDesktopServer.h"
#include "remotedesktop/RuntimeDisplayHost.h"
#include "runtime/RuntimeError.h"
#include "runtime/RuntimeManager.h"
#include "runtime/RuntimeSessionManager.h"
#include "runtime/linux/LinuxRuntimeProvider.h"
#include "runtime/linux/LinuxSSHPortRegistry.h"
#include "runtime/linux/LinuxSerialConsoleRegistry.h"

#include "support/FakeGuestShell.h"
#include "support/FileSizeLimit.h"
#include "support/Samples.h"
#include "support/ScriptedMachine.h"
#include "support/TestEnvironment.h"
#include "support/VirtualTime.h"

#include <QFile>

#include <sys/resource.h>
#include <sys/stat.h>

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
    std::function<QString()> provisioning = [] { return QStringLiteral("status: done\nREADY\n"); };
    std::function<QString()> desktopService = [] { return QString(); };
    std::function<QString()> desktop = [] { return QStringLiteral("READY\n"); };
    std::function<QString()> mac = [] { return QStringLiteral("52:54:00:aa:bb:cc\n"); };
    std::function<QString()> cloudInitStatus = [] { return QStringLiteral("status: done\n"); };
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
        useProvider(VirtualMachineAccelerator::kvm);
    }

    // A provider over the test's seams; the accelerator decides the budgets.
    void useProvider(VirtualMachineAccelerator accelerator)
    {
        provider.reset();
        provider = std::make_unique<LinuxRuntimeProvider>(store, seams(accelerator));
    }

    LinuxRuntimeProvider::Dependencies seams(VirtualMachineAccelerator accelerator)
    {
        LinuxRuntimeProvider::Dependencies dependencies;
        dependencies.makeMachine = [this](const VirtualMachineConfiguration &) {
            auto made = std::make_shared<test::ScriptedMachine>();
            if (onMachineMade)
                onMachineMade(*made);
            machines.push_back(made);
            return made;
        };
        dependencies.ssh = ssh;
        dependencies.sleeper = sleeper;
        dependencies.addressSources.arpPath = scratch() + "/no-arp";
        dependencies.addressSources.leaseFiles = {};
        dependencies.environment.accelerator = accelerator;
        return dependencies;
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
        if (command == LinuxRuntimeProvider::templateScript(r.distro))
            return guest.provisioning();
        if (command.startsWith("sudo systemctl daemon-reload"))
            return guest.desktopService();
        if (command == LinuxRuntimeProvider::desktopScript())
            return guest.desktop();
        if (command.startsWith("for i in /sys/class/net/*"))
            return guest.mac();
        if (command == LinuxRuntimeProvider::kCloudInitStatusCommand)
            return guest.cloudInitStatus();
        if (command == "sudo poweroff || sudo shutdown -h now || true") {
            guest.powerOff();
            return {};
        }
        return {};
    }

    // A start; the states it reported go to `states`.
    void start()
    {
        states.clear();
        runSync(provider->startRuntime(runtime.id, [this](const RuntimeConfig &c) { states << c.state; }), 60s);
    }

    QString startError() { return test::errorOf([this] { start(); }); }

    QString deleteError()
    {
        return test::errorOf([&] { runSync(provider->deleteRuntime(runtime.id)); });
    }

    RuntimeStore store;
    RuntimeConfig runtime;
    QList<RuntimeState> states;
    GuestScript guest;
    std::shared_ptr<test::VirtualSleeper> sleeper;
    std::shared_ptr<test::FakeSSHRunner> ssh;
    std::vector<std::shared_ptr<test::ScriptedMachine>> machines;
    std::function<void(test::ScriptedMachine &)> onMachineMade;
    std::unique_ptr<LinuxRuntimeProvider> provider;
};

} // namespace

TEST_F(LinuxRuntimeProviderTest, StartWalksThroughEveryStateToARunningDesktop)
{
    test::LogCapture log;
    start();
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

    QStringList sequence;
    for (const auto &call : ssh->calls) {
        if (call.command == LinuxRuntimeProvider::cloudInitScript())
            sequence << "cloud-init probe";
        else if (call.command.startsWith("sudo systemctl daemon-reload"))
            sequence << "desktop service";
        else if (call.command == LinuxRuntimeProvider::desktopScript())
            sequence << "desktop probe";
        else if (call.command == LinuxRuntimeProvider::kCloudInitStatusCommand)
            sequence << "cloud-init status";
        else if (call.command.contains("setxkbmap"))
            sequence << "keyboard";
        else if (call.command.startsWith("for i in /sys/class/net/*"))
            sequence << "mac";
        // The service restart waits for cloud-init's last stage: minutes, not the short commands' limit.
        if (call.command.startsWith("sudo systemctl daemon-reload"))
            EXPECT_GE(call.timeout.value_or(0ms), 10min);
    }
    EXPECT_EQ(sequence, (QStringList{"cloud-init probe", "desktop service", "desktop probe", "cloud-init status",
                                     "keyboard", "mac"}));
    EXPECT_EQ(log.count("WARNING: cloud-init"), 0);  // a clean run says nothing

    // A running runtime is not started a second time.
    EXPECT_EQ(startError(), QStringLiteral("Die Runtime läuft bereits. Stoppe sie zuerst."));
    EXPECT_EQ(machines.size(), 1u);

    // A later start keeps the first completion date, and output that is no
    // MAC address keeps the stored one. Cloud-init's error after the ready
    // marker is reported while the start goes on.
    runSync(provider->stopRuntime(runtime.id, {}), 60s);
    RuntimeConfig earlier = store.readRuntime(runtime.id);
    earlier.initialStartCompletedAt = QDateTime::currentDateTimeUtc().addDays(-3);
    store.saveRuntimeConfig(earlier);
    guest.mac = [] { return QStringLiteral("garbage\n"); };
    guest.cloudInitStatus = [] {
        return QStringLiteral("status: error\ntime: Thu, 01 Jan 2025 10:00:00 +0000\ndetail:\n"
                              "('locale', ProcessExecutionError(\"locale-gen failed\"))\n");
    };
    start();
    const RuntimeConfig again = store.readRuntime(runtime.id);
    EXPECT_EQ(again.initialStartCompletedAt->toSecsSinceEpoch(), earlier.initialStartCompletedAt->toSecsSinceEpoch());
    EXPECT_EQ(again.macAddress, QStringLiteral("52:54:00:aa:bb:cc"));
    EXPECT_EQ(again.state, RuntimeState::running);
    EXPECT_TRUE(log.contains("Failed to read runtime MAC: "));
    EXPECT_TRUE(log.lines().contains(
        "WARNING: cloud-init ended with an error; the runtime is usable: status: error | time: Thu, 01 Jan 2025 "
        "10:00:00 +0000 | detail: | ('locale', ProcessExecutionError(\"locale-gen failed\"))"))
        << log.lines().join('\n').toStdString();
}

TEST_F(LinuxRuntimeProviderTest, UnreachableGuestFailsAfterThirtyOrNinetyAttemptsAndIsKilled)
{
    guest.hostname = []() -> QString { throw DomainError("SSH", 255, "Connection timed out"); };
    for (const QString &distro : {QStringLiteral("ubuntu-24.04-amd64"), QStringLiteral("archlinux-x86_64")}) {
        runtime.distro = distro;
        store.saveRuntimeConfig(runtime);
        sleeper->pauses.clear();
        test::LogCapture log;
        EXPECT_EQ(startError(), QStringLiteral("Keine Runtime-IP gefunden für runtime1"));
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
    // Reports the guest wrote: none is followed through a link, a FIFO does
    // not hang the dump, and a large one (256 MiB, sparse, ending in a
    // multi-byte character) is not read whole.
    const QString workspace = runtime.workspacePath;
    const QString secret = scratch() + "/host-secret";
    writeFileAtomically(secret, "root:x:0:0:geheim");
    ASSERT_TRUE(QFile::link(secret, workspace + "/trellium-network-debug-a-link.txt"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(workspace + "/trellium-network-debug-b-fifo").constData(), 0600), 0);
    {
        QFile file(workspace + "/trellium-network-debug-c-huge.txt");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(qint64(256) << 20));
        ASSERT_TRUE(file.seek(file.size()));
        file.write(QStringLiteral("Ende ö").toUtf8());
    }
    writeFileAtomically(workspace + "/trellium-network-debug-d.txt", "second");
    writeFileAtomically(workspace + "/other.txt", "ignored");
    int attempts = 0;
    guest.desktop = [&attempts] { return ++attempts == 3 ? QStringLiteral("FATAL_TTY\n") : QStringLiteral("WAITING\n"); };
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    test::LogCapture log;
    EXPECT_EQ(startError(), QStringLiteral("Xorg konnte nicht auf die virtuelle Konsole zugreifen."));
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB";  // far less than the report
    EXPECT_FALSE(log.contains("geheim"));
    for (const QString unreadable : {"a-link.txt", "b-fifo"})
        EXPECT_TRUE(log.lines().contains("Failed to read workspace diagnostic: " + workspace + "/trellium-network-debug-" + unreadable));
    const QStringList lines = log.lines();
    const qsizetype c = lines.indexOf("===== WORKSPACE NETWORK DIAGNOSTIC: trellium-network-debug-c-huge.txt =====");
    const qsizetype d = lines.indexOf("===== WORKSPACE NETWORK DIAGNOSTIC: trellium-network-debug-d.txt =====");
    ASSERT_GE(c, 0);
    ASSERT_GT(d, c);
    EXPECT_EQ(lines.at(c + 1).size(), 12000);
    EXPECT_TRUE(lines.at(c + 1).endsWith(QStringLiteral("Ende ö")));
    EXPECT_FALSE(log.contains("other.txt"));
    EXPECT_EQ(log.count("Desktop not ready attempt "), 2);
    // The guest's line feed is not logged as a blank line after each attempt.
    EXPECT_TRUE(log.lines().contains("Desktop not ready attempt 1: WAITING"));
    EXPECT_TRUE(log.contains("RuntimeDisplayHost diagnostic snapshot"));
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::failed);

    // The record removed while booting: not found, instead of the cause.
    guest.cloudInit = [this]() -> QString {
        removeItem(store.recordPath(runtime.id));
        throw DomainError("SSH", 255, "gone");
    };
    // Cloud-init never gets ready: the probe eventually fails, then the record is missing.
    EXPECT_EQ(startError(), "Runtime nicht gefunden: " + uuidText(runtime.id));
}

TEST_F(LinuxRuntimeProviderTest, ProbeLimitsAndErrors)
{
    RuntimeConfig record = runtime;
    record.ipAddress = QStringLiteral("127.0.0.1");
    auto outcome = [](std::function<void()> call) {
        try {
            call();
        } catch (const DomainError &error) {
            return QStringLiteral("%1 %2 %3").arg(error.domain()).arg(error.code()).arg(error.localizedDescription());
        }
        return QStringLiteral("ready");
    };
    auto probe = [&] { return outcome([&] { runSync(provider->waitForCloudInit(record), 60s); }); };
    {
        guest.cloudInit = []() -> QString { throw DomainError("SSH", 255, "refused"); };
        test::LogCapture log;
        EXPECT_EQ(probe(), QStringLiteral("Runtime 997 Cloud-Init wurde nicht rechtzeitig abgeschlossen."));
        EXPECT_EQ(log.count("Cloud-init SSH temporarily unavailable attempt "), 900);
        EXPECT_EQ(sleeper->elapsed, 900 * 3s);
    }
    guest.cloudInit = [] { return QStringLiteral("status: error\n"); };
    EXPECT_EQ(probe(), QStringLiteral("Runtime 998 Cloud-Init konnte die Runtime nicht vollständig vorbereiten."));
    guest.cloudInit = [] { return QStringLiteral("ERROR\nREADY\n"); };
    EXPECT_EQ(probe(), QStringLiteral("ready"));
    sleeper->pauses.clear();
    guest.cloudInit = [] { return QStringLiteral("status: running\n"); };
    EXPECT_EQ(probe(), QStringLiteral("Runtime 997 Cloud-Init wurde nicht rechtzeitig abgeschlossen."));
    EXPECT_EQ(sleeper->pauses.size(), 900);

    sleeper->pauses.clear();
    guest.desktop = [] { return QStringLiteral("WAITING\n"); };
    EXPECT_EQ(outcome([&] { runSync(provider->waitForDesktop(record), 60s); }),
              QStringLiteral("Runtime 999 TRELLIUM Desktop wurde nicht rechtzeitig bereit."));
    EXPECT_EQ(sleeper->pauses.size(), 90);  // the last pause comes before the error

    // Template provisioning: ssh's own failures are retried, anything else ends it.
    std::shared_ptr<test::FakeSSHRunner> templateSSH;
    const auto provision = [&](std::function<QString(int)> reply) {
        LinuxRuntimeProvider::Dependencies dependencies;
        dependencies.ssh = templateSSH = std::make_shared<test::FakeSSHRunner>(
            [reply, calls = 0](const RuntimeConfig &, const QString &) mutable { return reply(++calls); });
        dependencies.sleeper = sleeper;
        dependencies.environment.accelerator = VirtualMachineAccelerator::kvm;
        LinuxRuntimeProvider templates(store, dependencies);
        return outcome([&] { runSync(templates.waitForTemplateProvisioning(record), 60s); });
    };
    EXPECT_EQ(provision([](int call) -> QString {
        if (call <= 2)
            throw DomainError("SSH", 255, "Connection reset");
        return call == 3 ? "WAITING\n" : "READY\n";
    }), QStringLiteral("ready"));
    EXPECT_EQ(templateSSH->calls.size(), 4);
    EXPECT_EQ(provision([](int) -> QString { throw DomainError("SSH", 1, "sh: syntax error"); }),
              QStringLiteral("SSH 1 sh: syntax error"));
    EXPECT_EQ(templateSSH->calls.size(), 1);
    const QString incomplete = QStringLiteral("Runtime 996 Template-Provisioning wurde nicht vollständig abgeschlossen.");
    EXPECT_EQ(provision([](int) { return QStringLiteral("WAITING\n"); }), incomplete);
    EXPECT_EQ(templateSSH->calls.size(), 180);
    // Cloud-init ended in error: the template is incomplete, whatever else holds.
    EXPECT_EQ(provision([](int) { return QStringLiteral("status: error\nREADY\n"); }), incomplete + " status: error");
    EXPECT_EQ(templateSSH->calls.size(), 1);
}

TEST_F(LinuxRuntimeProviderTest, AGuestThatFreezesDuringAProbeOrACommandCostsOnlyThatAttemptOrStep)
{
    // Each probe meets a guest frozen during its first two attempts: each
    // attempt ends at its limit and is handled as ssh failing, then the
    // guest answers.
    RuntimeConfig record = runtime;
    record.ipAddress = QStringLiteral("127.0.0.1");
    const auto afterTwoFreezes = [](const QString &answer) {
        return [answer, attempt = 0]() mutable -> QString {
            if (++attempt <= 2)
                throw test::FakeSSHRunner::Frozen{};
            return answer;
        };
    };
    // The probe starts inside: a task runs up to its first pause at once.
    const auto expectTwoAttemptsLost = [&](std::function<QCoro::Task<void>()> probe, const QString &unavailable,
                                           std::chrono::milliseconds pause, const QString &ready) {
        ssh->calls.clear();
        sleeper->pauses.clear();
        test::LogCapture log;
        EXPECT_NO_THROW(runSync(probe(), 20s)) << unavailable.toStdString();
        EXPECT_EQ(ssh->hanging, 0) << unavailable.toStdString();
        EXPECT_EQ(ssh->calls.size(), 3) << unavailable.toStdString();
        EXPECT_EQ(log.count(unavailable), 2);
        EXPECT_TRUE(log.lines().contains(unavailable + "1: Zeitüberschreitung: ssh")) << log.lines().join('\n').toStdString();
        EXPECT_EQ(sleeper->pauses, (QList<std::chrono::milliseconds>{pause, pause})) << unavailable.toStdString();
        EXPECT_TRUE(log.lines().contains(ready)) << ready.toStdString();
    };
    guest.cloudInit = afterTwoFreezes("status: done\n");
    expectTwoAttemptsLost([&] { return provider->waitForCloudInit(record); },
                          "Cloud-init SSH temporarily unavailable attempt ", 3s, "Cloud-init ready");
    guest.provisioning = afterTwoFreezes("status: done\nREADY\n");
    expectTwoAttemptsLost([&] { return provider->waitForTemplateProvisioning(record); },
                          "Template provisioning SSH temporarily unavailable attempt ", 2s,
                          "Template provisioning ready");
    guest.desktop = afterTwoFreezes("READY\n");
    expectTwoAttemptsLost([&] { return provider->waitForDesktop(record); }, "Desktop check failed attempt ", 2s,
                          "Runtime desktop ready");

    // A guest that stays frozen runs out the budget.
    guest.desktop = []() -> QString { throw test::FakeSSHRunner::Frozen{}; };
    sleeper->pauses.clear();
    EXPECT_EQ(test::errorOf([&] { runSync(provider->waitForDesktop(record), 20s); }),
              QStringLiteral("TRELLIUM Desktop wurde nicht rechtzeitig bereit."));
    EXPECT_EQ(sleeper->pauses.size(), 90);

    // Frozen while the desktop service restarts: the start fails like any
    // other failed command, with its diagnostics.
    guest.desktop = [] { return QStringLiteral("READY\n"); };
    guest.desktopService = []() -> QString { throw test::FakeSSHRunner::Frozen{}; };
    test::LogCapture log;
    EXPECT_EQ(startError(), QStringLiteral("Zeitüberschreitung: ssh"));
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::failed);
    EXPECT_TRUE(log.contains("===== VM LIFECYCLE LOG ====="));
    EXPECT_EQ(log.lines().last(), QStringLiteral("Runtime IP resolve failed: Zeitüberschreitung: ssh"));

    // Frozen while told to power off: the stop goes on and forces the machine off.
    guest.desktopService = [] { return QString(); };
    start();
    guest.powerOff = [] { throw test::FakeSSHRunner::Frozen{}; };
    runSync(provider->stopRuntime(runtime.id, {}), 20s);
    EXPECT_EQ(machines.back()->stops, 1);
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::stopped);
    EXPECT_EQ(ssh->hanging, 0);
}

// A frozen guest ends an attempt only at its limit: without one the start
// hangs for good, with one of hours it hangs nearly as long. Every attempt
// counts, those after a refusal or a not-ready answer too.
TEST_F(LinuxRuntimeProviderTest, EveryProbeAttemptGivesTheRunnerALimitOfMinutes)
{
    const auto notReadyRefusedThenReady = [](const QString &notReady, const QString &ready) {
        return [notReady, ready, attempt = 0]() mutable -> QString {
            if (++attempt == 2)
                throw DomainError("SSH", 255, "Connection reset");
            return attempt == 1 ? notReady : ready;
        };
    };
    guest.hostname = notReadyRefusedThenReady("other-host\n", "runtime1\n");
    guest.cloudInit = notReadyRefusedThenReady("status: running\n", "status: done\n");
    guest.desktop = notReadyRefusedThenReady("WAITING\n", "READY\n");
    guest.provisioning = notReadyRefusedThenReady("WAITING\n", "status: done\nREADY\n");
    start();
    ASSERT_EQ(store.readRuntime(runtime.id).state, RuntimeState::running);
    runSync(provider->waitForTemplateProvisioning(store.readRuntime(runtime.id)), 20s);

    QStringList limits;
    for (const auto &call : ssh->calls) {
        const QString limit = call.timeout ? QStringLiteral("%1 ms").arg(call.timeout->count()) : QStringLiteral("none");
        if (call.command == LinuxRuntimeIPResolver::kHostnameCommand)
            limits << "address check: " + limit;
        else if (call.command == LinuxRuntimeProvider::cloudInitScript())
            limits << "cloud-init probe: " + limit;
        else if (call.command == LinuxRuntimeProvider::desktopScript())
            limits << "desktop probe: " + limit;
        else if (call.command == LinuxRuntimeProvider::templateScript(runtime.distro))
            limits << "template probe: " + limit;
    }
    // The address check only asks for the host name; the probes run scripts that
    // take tens of seconds on a busy guest without acceleration.
    const auto threeTimes = [](const QString &line) { return QStringList{line, line, line}; };
    const QStringList expected = threeTimes("address check: 60000 ms") + threeTimes("cloud-init probe: 120000 ms")
        + threeTimes("desktop probe: 120000 ms") + threeTimes("template probe: 120000 ms");
    EXPECT_EQ(limits.join('\n').toStdString(), expected.join('\n').toStdString());
}

TEST_F(LinuxRuntimeProviderTest, StopPowersOffWaitsForcesOnlyWhenNeededAndKeepsWhatItCouldNotEnd)
{
    start();
    auto machine = machines.at(0);
    guest.powerOff = [machine] { machine->guestPowersOff(); };
    sleeper->elapsed = 0ms;
    QList<RuntimeState> stopStates;
    runSync(provider->stopRuntime(runtime.id, [&stopStates](const RuntimeConfig &c) { stopStates << c.state; }), 60s);
    EXPECT_EQ(stopStates, (QList<RuntimeState>{RuntimeState::stopping, RuntimeState::stopped}));
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

    // A forced stop that fails keeps the machine and the stopping record.
    start();
    const auto stuck = machines.back();
    stuck->failStop = true;
    EXPECT_THROW(runSync(provider->stopRuntime(runtime.id, {}), 60s), DomainError);
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::stopping);
    EXPECT_EQ(provider->virtualMachine(runtime.id), stuck);

    // Without an address no power-off is sent, and the 8 s are waited anyway.
    stuck->failStop = false;
    stuck->setState(VirtualMachineState::stopped);
    RuntimeConfig record = store.readRuntime(runtime.id);
    record.ipAddress.reset();
    store.saveRuntimeConfig(record);
    useProvider(VirtualMachineAccelerator::kvm);
    ssh->calls.clear();
    sleeper->elapsed = 0ms;
    runSync(provider->stopRuntime(runtime.id, {}), 60s);
    EXPECT_TRUE(ssh->calls.isEmpty());
    EXPECT_EQ(sleeper->elapsed, 8500ms);
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::stopped);

    // A cancelled stop ends its pauses at once.
    start();
    sleeper->pauses.clear();
    sleeper->onPause = [this](int pause) {
        if (pause == 3)  // in the wait for the guest to power off
            provider->cancelOperation(runtime.id);
    };
    EXPECT_THROW(runSync(provider->stopRuntime(runtime.id, {}), 60s), CancelledError);
    EXPECT_EQ(sleeper->pauses.size(), 3);
    // The steps after the pause were not taken.
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::stopping);
    EXPECT_EQ(provider->virtualMachine(runtime.id), machines.back());
    EXPECT_EQ(machines.back()->state(), VirtualMachineState::running);

    // The runtime can be stopped afterwards.
    sleeper->onPause = {};
    runSync(provider->stopRuntime(runtime.id, {}), 60s);
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::stopped);
}

TEST_F(LinuxRuntimeProviderTest, DeletionNeedsAStoppedRuntimeAndEndsEverythingOfIt)
{
    // Deleting another runtime leaves the stream alone.
    RuntimeConfig other = test::sampleRuntime(runtime.workspacePath);
    store.saveRuntimeConfig(other);
    auto connection = std::make_shared<NullConnection>();
    RemoteDesktopServer::shared().start(connection, RemoteDesktopSource::test(), 640, 480, 30, 0);
    runSync(provider->deleteRuntime(other.id));
    EXPECT_EQ(RemoteDesktopServer::shared().currentSource(), RemoteDesktopSource::test());

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

namespace {

// Output of a probe script run in a fake guest.
QString probeOutput(const test::FakeGuestShell &shell, const QString &script, const QStringList &environment = {})
{
    const ProcessResult result = shell.run(script, environment);
    EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    return QString::fromUtf8(result.standardOutput).trimmed();
}

} // namespace

TEST_F(LinuxRuntimeProviderTest, ProbeScriptsJudgeTheGuestTheyRunIn)
{
    test::FakeGuestShell shell(scratch("guest"));
    shell.hostTools({"grep", "sort", "tail", "find", "basename", "dirname", "tr", "cat"});

    // Cloud-init: its status line, and the ready marker once the
    // configuration file and the user's key are there.
    shell.tool("cloud-init", "echo 'status: running'");
    const QString cloudInit = LinuxRuntimeProvider::cloudInitScript();
    EXPECT_EQ(probeOutput(shell, cloudInit), "status: running");
    shell.file("/etc/trellium-runtime.conf");
    shell.file("/home/trellium/.ssh/authorized_keys");
    EXPECT_EQ(probeOutput(shell, cloudInit), "status: running\nTRELLIUM_READY");
    shell.tool("cloud-init", "exit 1");  // not installed or failing: still an answer
    EXPECT_EQ(probeOutput(shell, cloudInit), "TRELLIUM_READY");

    // Template: every desktop program and the service's unit file.
    const QString plainTemplate = LinuxRuntimeProvider::templateScript("ubuntu-24.04-amd64");
    for (const char *program : {"xinit", "xfce4-panel", "xfdesktop", "xfwm4", "setxkbmap"})
        shell.tool(program, "true");
    shell.file("/etc/systemd/system/trellium-desktop.service");
    EXPECT_EQ(probeOutput(shell, plainTemplate), "WAITING");  // thunar is missing
    shell.tool("thunar", "true");
    // ... and cloud-init at its end: runcmd, which installs them, comes last.
    EXPECT_EQ(probeOutput(shell, plainTemplate), "WAITING");
    shell.file("/var/lib/cloud/instance/boot-finished");
    shell.tool("cloud-init", "echo 'status: running'");
    EXPECT_EQ(probeOutput(shell, plainTemplate), "status: running\nWAITING");
    shell.tool("cloud-init", "echo 'status: done'");
    EXPECT_EQ(probeOutput(shell, plainTemplate), "status: done\nREADY");
    shell.file("/usr/lib/modules/6.1.0/vmlinuz");
    shell.file("/usr/lib/modules/6.1.0/trellium-initramfs.img");
    shell.tool("findmnt", "echo ' 1234-ABCD '");
    const ProcessResult arch = shell.run(LinuxRuntimeProvider::templateScript("archlinux-x86_64"));
    EXPECT_EQ(arch.standardOutput, "status: done\nREADY\n");
    EXPECT_TRUE(arch.standardError.isEmpty()) << arch.standardError.toStdString();

    // The unit's journal holds the X server's complaint, but only root (or
    // the journal groups, which the runtime user is not in) may read it.
    shell.tool("journalctl", R"(if [ "$AS_ROOT" = 1 ] || [ "$USER_READS_JOURNAL" = 1 ]; then
  echo 'Jan 01 trellium-desktop xinit[812]: (EE) Cannot open /dev/tty0 (Permission denied)'
else
  echo 'Hint: You are currently not seeing messages from other users and the system.'
fi)");
    shell.tool("sudo", R"([ "$1" = -n ] && shift
[ "$SUDO_REFUSED" = 1 ] && { echo 'sudo: a password is required' >&2; exit 1; }
AS_ROOT=1 exec "$@")");
    shell.tool("systemctl", "exit ${SERVICE_STATE:-0}");
    shell.tool("xset", "exit 0");
    shell.tool("pgrep", "exit 0");
    const QString script = LinuxRuntimeProvider::desktopScript();

    EXPECT_EQ(probeOutput(shell, script), "FATAL_TTY");
    // Without sudo the probe reads what the user may.
    EXPECT_EQ(probeOutput(shell, script, {"SUDO_REFUSED=1"}), "READY");
    EXPECT_EQ(probeOutput(shell, script, {"SUDO_REFUSED=1", "USER_READS_JOURNAL=1"}), "FATAL_TTY");

    // A healthy desktop: the journal is quiet.
    shell.tool("journalctl", "echo 'Jan 01 trellium-desktop systemd[1]: Started TRELLIUM Runtime Desktop.'");
    EXPECT_EQ(probeOutput(shell, script), "READY");
    EXPECT_EQ(probeOutput(shell, script, {"SERVICE_STATE=3"}), "WAITING");
}

TEST_F(LinuxRuntimeProviderTest, AStartThatFailsBeforeTheGuestBootsEndsFailedStoppedAndDeletable)
{
    // The seed is refused: nothing ran yet.
    RuntimeConfig refused = runtime;
    refused.username = QStringLiteral("Root");
    store.saveRuntimeConfig(refused);
    EXPECT_TRUE(startError().startsWith("Ungültige Runtime-Konfiguration: username"));
    EXPECT_EQ(states, (QList<RuntimeState>{RuntimeState::starting, RuntimeState::failed}));
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::failed);
    EXPECT_TRUE(machines.empty());

    // The machine itself does not start.
    store.saveRuntimeConfig(runtime);
    const QString reason = QStringLiteral("QEMU beendet: kein Speicher");
    onMachineMade = [reason](test::ScriptedMachine &machine) {
        machine.onStart = [reason] { throw DomainError("VirtualMachine", 1, reason); };
    };
    EXPECT_EQ(startError(), reason);
    EXPECT_EQ(states, (QList<RuntimeState>{RuntimeState::starting, RuntimeState::failed}));
    EXPECT_EQ(provider->virtualMachine(runtime.id), nullptr);
    EXPECT_EQ(deleteError(), QStringLiteral("<no error>"));

    // The machine is up, then the record cannot be saved (the disk is full):
    // the machine is stopped and forgotten.
    store.saveRuntimeConfig(runtime);
    machines.clear();
    std::unique_ptr<test::FileSizeLimit> diskFull;
    onMachineMade = [&diskFull](test::ScriptedMachine &machine) {
        machine.onStart = [&diskFull] { diskFull = std::make_unique<test::FileSizeLimit>(16); };
    };
    EXPECT_NE(startError(), QStringLiteral("<no error>"));
    diskFull.reset();
    ASSERT_EQ(machines.size(), 1u);
    EXPECT_EQ(machines.at(0)->stops, 1);
    EXPECT_EQ(machines.at(0)->state(), VirtualMachineState::stopped);
    EXPECT_EQ(provider->virtualMachine(runtime.id), nullptr);
    EXPECT_TRUE(provider->vmDelegates().isEmpty());
    EXPECT_FALSE(RuntimeDisplayHost::shared().isAttached(runtime.id));
    EXPECT_FALSE(LinuxSSHPortRegistry::shared().port(runtime.id));
}

TEST_F(LinuxRuntimeProviderTest, StopsDuringAStartEndItAreAllAnsweredAndTheRuntimeEndsStopped)
{
    guest.cloudInit = [] { return QStringLiteral("status: running\n"); };
    std::vector<QCoro::Task<void>> stops;
    QList<QList<RuntimeState>> updates(3);
    QString secondStart;
    sleeper->onPause = [&](int pause) {
        // Another start is refused, then three stop jobs arrive, while cloud-init still runs.
        if (pause == 3 && stops.empty()) {
            secondStart = test::errorOf([&] { runSync(provider->startRuntime(runtime.id, {})); });
            for (int i = 0; i < 3; ++i) {
                stops.push_back(provider->stopRuntime(
                    runtime.id, [&updates, i](const RuntimeConfig &c) { updates[i] << c.state; }));
            }
        }
    };
    EXPECT_THROW(runSync(provider->startRuntime(runtime.id, {}), 60s), CancelledError);
    ASSERT_EQ(stops.size(), 3u);
    for (auto &stop : stops)
        EXPECT_NO_THROW(runSync(std::move(stop), 60s));
    EXPECT_EQ(secondStart, QStringLiteral("Die Runtime wird gerade gestartet oder gestoppt. Bitte warte, bis der "
                                          "Vorgang abgeschlossen ist."));
    EXPECT_EQ(store.readRuntime(runtime.id).state, RuntimeState::stopped);
    EXPECT_EQ(provider->virtualMachine(runtime.id), nullptr);
    EXPECT_LT(sleeper->pauses.size(), 60);  // the start did not run out its attempts
    // One stop did the work and reported it; the others joined it.
    int reporting = 0;
    for (const auto &states : updates)
        reporting += states == QList<RuntimeState>{RuntimeState::stopping, RuntimeState::stopped} ? 1 : 0;
    EXPECT_EQ(reporting, 1);

    // A later start is not refused as busy.
    guest.cloudInit = [] { return QStringLiteral("status: done\n"); };
    sleeper->onPause = {};
    start();
    EXPECT_EQ(states.value(3), RuntimeState::running);
}

TEST_F(LinuxRuntimeProviderTest, EditsMadeWhileAStartOrStopRunsAreKept)
{
    // The tablet renames the runtime and binds a workspace while it boots,
    // and renames it again while its MAC address is read.
    const auto edit = [this](const QString &name, const std::optional<QString> &workspace) {
        RuntimeConfig record = store.readRuntime(runtime.id);
        record.name = name;
        if (workspace)
            record.workspaceName = workspace;
        store.saveRuntimeConfig(record);
    };
    onMachineMade = [&edit](test::ScriptedMachine &machine) {
        machine.onStart = [&edit] { edit(QStringLiteral("Beim Booten"), QStringLiteral("Projekt")); };
    };
    guest.mac = [&edit] {
        edit(QStringLiteral("Umbenannt"), std::nullopt);
        return QStringLiteral("52:54:00:aa:bb:cc\n");
    };
    // A cloud-init status that cannot be read is only noted.
    guest.cloudInitStatus = []() -> QString { throw DomainError("SSH", 255, "Connection reset"); };
    test::LogCapture log;
    start();
    EXPECT_EQ(log.count("Cloud-init status unavailable:"), 1);
    RuntimeConfig stored = store.readRuntime(runtime.id);
    EXPECT_EQ(stored.state, RuntimeState::running);
    EXPECT_EQ(stored.name, QStringLiteral("Umbenannt"));
    EXPECT_EQ(stored.workspaceName, QStringLiteral("Projekt"));
    EXPECT_EQ(stored.macAddress, QStringLiteral("52:54:00:aa:bb:cc"));

    // During the stop's wait.
    sleeper->onPause = [&edit](int pause) {
        if (pause == 2)
            edit(QStringLiteral("Beim Stoppen"), QStringLiteral("Anderes Projekt"));
    };
    runSync(provider->stopRuntime(runtime.id, {}), 60s);
    stored = store.readRuntime(runtime.id);
    EXPECT_EQ(stored.state, RuntimeState::stopped);
    EXPECT_EQ(stored.name, QStringLiteral("Beim Stoppen"));
    EXPECT_EQ(stored.workspaceName, QStringLiteral("Anderes Projekt"));
}

TEST_F(LinuxRuntimeProviderTest, WithoutHardwareAccelerationTheBudgetsGrowByTheSetting)
{
    // The budgets of a machine with hardware acceleration are the other tests'.
    useProvider(VirtualMachineAccelerator::tcg);
    guest.hostname = []() -> QString { throw DomainError("SSH", 255, "Connection timed out"); };
    test::LogCapture log;
    EXPECT_EQ(startError(), QStringLiteral("Keine Runtime-IP gefunden für runtime1"));
    EXPECT_EQ(log.count("Runtime IP resolve attempt "), 30 * 4);
    // A template start looks for the address with the same budget.
    EXPECT_EQ(test::errorOf([&] { runSync(provider->startTemplateRuntime(runtime.id), 60s); }),
              QStringLiteral("Keine Runtime-IP gefunden für runtime1"));
    EXPECT_EQ(log.count("Runtime IP resolve attempt "), 2 * 30 * 4);

    // The setting is read at each wait.
    userDefaults()->setValue(LinuxRuntimeProvider::kTCGBudgetFactorKey, 2);
    RuntimeConfig record = runtime;
    record.ipAddress = QStringLiteral("127.0.0.1");
    guest.desktop = [] { return QStringLiteral("WAITING\n"); };
    sleeper->pauses.clear();
    EXPECT_THROW(runSync(provider->waitForDesktop(record), 60s), DomainError);
    EXPECT_EQ(sleeper->pauses.size(), 90 * 2);
    // Said once per provider.
    EXPECT_EQ(log.count("Runtime readiness budgets"), 1);
    EXPECT_EQ(log.count("Runtime readiness budgets x4"), 1);

    // The setting counts from 1 to 100; anything else is the default.
    for (const auto &[setting, factor] : QList<std::pair<QVariant, int>>{
             {0, 4}, {-3, 4}, {QStringLiteral("viel"), 4}, {1, 1}, {100, 100}, {1000000000, 100}}) {
        userDefaults()->setValue(LinuxRuntimeProvider::kTCGBudgetFactorKey, setting);
        useProvider(VirtualMachineAccelerator::tcg);
        sleeper->pauses.clear();
        test::LogCapture bounded;
        EXPECT_THROW(runSync(provider->waitForDesktop(record), 60s), DomainError);
        EXPECT_EQ(sleeper->pauses.size(), 90 * factor) << setting.toString().toStdString();
        EXPECT_EQ(bounded.count(QStringLiteral("Runtime readiness budgets x%1:").arg(factor)), 1)
            << setting.toString().toStdString();
    }
}

namespace {

// Runs from the event loop, once the await under way has suspended.
void later(std::function<void()> work)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

} // namespace

TEST_F(LinuxRuntimeProviderTest, DestroyingTheProviderEndsItsOperationsAndStopsItsMachines)
{
    // The agent quits in the middle of a start or stop: the operation ends
    // with CancelledError, nothing resumes on the destroyed provider (the
    // sanitizer build sees that), no record is written afterwards (the next
    // launch recovers it) and no machine runs on without an owner.
    bool destroyed = false;
    int updatesAfterwards = 0;
    auto onUpdate = [&](const RuntimeConfig &) { updatesAfterwards += destroyed ? 1 : 0; };
    std::function<void()> owner = [&] { provider.reset(); };  // what goes
    auto destroy = [&] {
        destroyed = true;
        owner();
    };
    auto expectEnded = [&](const test::ScriptedMachine &machine, RuntimeState stored) {
        EXPECT_EQ(machine.state(), VirtualMachineState::stopped);
        EXPECT_EQ(store.readRuntime(runtime.id).state, stored);
        EXPECT_EQ(updatesAfterwards, 0);
        EXPECT_FALSE(LinuxSSHPortRegistry::shared().port(runtime.id));
        EXPECT_FALSE(RuntimeDisplayHost::shared().isAttached(runtime.id));
    };

    // While the start waits for cloud-init.
    guest.cloudInit = [] { return QStringLiteral("status: running\n"); };
    sleeper->onPause = [&](int pause) {
        if (pause == 2)
            later(destroy);
    };
    EXPECT_THROW(runSync(provider->startRuntime(runtime.id, onUpdate), 60s), CancelledError);
    ASSERT_EQ(machines.size(), 1u);
    expectEnded(*machines.at(0), RuntimeState::desktopPreparing);

    // While the machine starts: the start stops what it started.
    destroyed = false;
    sleeper->onPause = {};
    guest.cloudInit = [] { return QStringLiteral("status: done\n"); };
    onMachineMade = [&](test::ScriptedMachine &machine) {
        Completion<void> started;
        machine.startGate = started;
        machine.onStart = [&destroy, started]() mutable {
            later([&destroy, started]() mutable {
                destroy();
                started.resolve();
            });
        };
    };
    useProvider(VirtualMachineAccelerator::kvm);
    EXPECT_THROW(runSync(provider->startRuntime(runtime.id, onUpdate), 60s), CancelledError);
    ASSERT_EQ(machines.size(), 2u);
    expectEnded(*machines.at(1), RuntimeState::starting);

    // The same when the runtime manager that owns the provider goes.
    destroyed = false;
    store.saveRuntimeConfig(runtime);
    auto manager = std::make_unique<RuntimeManager>();
    manager->registerProvider(std::make_shared<LinuxRuntimeProvider>(store, seams(VirtualMachineAccelerator::kvm)));
    owner = [&] { manager.reset(); };
    EXPECT_THROW(runSync(manager->startRuntime(runtime.id, RuntimeKind::linux, onUpdate), 60s), CancelledError);
    ASSERT_EQ(machines.size(), 3u);
    expectEnded(*machines.at(2), RuntimeState::starting);

    // While a stop waits for the guest to power off.
    destroyed = false;
    owner = [&] { provider.reset(); };
    onMachineMade = {};
    useProvider(VirtualMachineAccelerator::kvm);
    start();
    sleeper->onPause = [&](int) {
        if (!destroyed)
            later(destroy);
    };
    EXPECT_THROW(runSync(provider->stopRuntime(runtime.id, onUpdate), 60s), CancelledError);
    ASSERT_EQ(machines.size(), 4u);
    expectEnded(*machines.at(3), RuntimeState::stopping);
}
