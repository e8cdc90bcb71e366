#include "core/Async.h"
#include "core/Files.h"
#include "platform/vm/QemuVirtualMachine.h"
#include "remotedesktop/RuntimeDisplayHost.h"
#include "runtime/linux/LinuxSSHManager.h"
#include "runtime/linux/LinuxSSHPortRegistry.h"
#include "runtime/linux/LinuxSerialConsoleRegistry.h"
#include "runtime/linux/LinuxVMBuilder.h"

#include "support/OrdinaryUser.h"
#include "support/TestEnvironment.h"
#include "support/TestGuest.h"

#include <QFileInfo>
#include <QImage>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

using namespace trellium;
using namespace std::chrono_literals;
namespace TestGuest = trellium::test::TestGuest;

namespace {

bool hasContent(const PixelBuffer &picture)
{
    for (int y = 0; y < picture.height; ++y) {
        const uchar *row = picture.row(y);
        for (int x = 0; x < picture.width; ++x) {
            if (row[x * 4] != 0 || row[x * 4 + 1] != 0 || row[x * 4 + 2] != 0)
                return true;
        }
    }
    return false;
}

class RecordingDelegate : public VirtualMachineDelegate {
public:
    void guestDidStop(VirtualMachine &machine) override { notices << QStringLiteral("guestDidStop %1").arg(machine.stateCode()); }
    void didStopWithError(VirtualMachine &machine, const Error &error) override
    {
        notices << QStringLiteral("didStopWithError %1 %2").arg(machine.stateCode()).arg(error.localizedDescription());
    }
    void networkAttachmentWasDisconnected(VirtualMachine &, const Error &) override { notices << "network"; }
    QStringList notices;
};

class QemuVirtualMachineVmTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        QString whyNot;
        ASSERT_TRUE(TestGuest::available(&whyNot)) << whyNot.toStdString();
        environment.restrictNetwork = true;
        runtime = TestGuest::prepareRuntime(scratch("workspace"));
    }

    void TearDown() override
    {
        machines.clear();
        LinuxSerialConsoleRegistry::shared().stopCaptures(runtime.id);
        LinuxSSHPortRegistry::shared().removePort(runtime.id);
        DataHomeTest::TearDown();
    }

    QemuVirtualMachine &newMachine()
    {
        machines.push_back(std::make_unique<QemuVirtualMachine>(LinuxVMBuilder().makeConfiguration(runtime), environment));
        machines.back()->setDelegate(delegate);
        return *machines.back();
    }

    // Starts the guest and waits until its SSH answers.
    void boot(QemuVirtualMachine &machine)
    {
        runSync(machine.start(), 120s);
        ASSERT_EQ(machine.stateCode(), 1);
        ASSERT_TRUE(machine.forwardedSSHPort());
        LinuxSSHPortRegistry::shared().setPort(runtime.id, *machine.forwardedSSHPort());
        runtime.ipAddress = QStringLiteral("127.0.0.1");
        ASSERT_TRUE(test::waitUntil([&] { return TestGuest::serialLog(runtime).contains("TRELLIUM-TEST-GUEST ready"); }, 180s))
            << TestGuest::serialLog(runtime).toStdString();
    }

    QString run(const QString &command) { return runSync(LinuxSSHManager().runCommand(runtime, command), 60s); }

    QemuEnvironment environment = QemuEnvironment::shared();
    RuntimeConfig runtime;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::vector<std::unique_ptr<QemuVirtualMachine>> machines;
};

} // namespace

TEST_F(QemuVirtualMachineVmTest, ShowsTheFirmwareScreenStartFailuresCarryQemusMessageAKilledQemuIsAnError)
{
    // Under TCG the firmware shows its first mode long enough for the display
    // host to connect before the switch to the larger one.
    QemuEnvironment tcg = environment;
    tcg.accelerator = VirtualMachineAccelerator::tcg;
    auto first = std::make_shared<QemuVirtualMachine>(LinuxVMBuilder().makeConfiguration(runtime), tcg);
    first->setDelegate(delegate);
    runSync(first->start(), 120s);
    ASSERT_EQ(first->stateCode(), 1);

    // The display host mirrors the screen from OVMF's 640x480 on, follows its
    // switch to a larger mode (the firmware's screen is not black
    // throughout), and keeps a boot-screen picture.
    RuntimeDisplayHost host;
    RuntimeDisplayView *view = host.attach(runtime.id, first, 1600, 1120);
    ASSERT_NE(view->mirror, nullptr);
    EXPECT_EQ(host.machine(runtime.id), first);
    std::optional<PixelBuffer> picture;
    const bool shown = test::waitUntil(
        [&] {
            if (view->mirror->size().width() <= 640)
                return false;
            picture = host.snapshot(runtime.id, 800, 560);
            return picture && hasContent(*picture);
        },
        300s);
    ASSERT_TRUE(shown) << "mirror " << view->mirror->size().width() << "x" << view->mirror->size().height()
                       << ", state " << int(view->mirror->state()) << ", updates " << view->mirror->updateCount();
    EXPECT_EQ(picture->width, 800);
    EXPECT_EQ(picture->height, 560);
    const QString bootScreen = scratch() + QStringLiteral("/logs/boot-screen.png");
    host.saveDiagnosticSnapshot(runtime.id, 1600, 1120, bootScreen);
    QImage saved;
    ASSERT_TRUE(saved.load(bootScreen, "PNG"));
    EXPECT_EQ(saved.size(), QSize(1600, 1120));
    host.detach(runtime.id);
    EXPECT_FALSE(host.isAttached(runtime.id));

    // A second machine on the same disk: QEMU refuses the lock.
    QemuVirtualMachine &competitor = newMachine();
    try {
        runSync(competitor.start(), 120s);
        FAIL() << "started twice on one disk";
    } catch (const DomainError &error) {
        EXPECT_TRUE(error.localizedDescription().contains("Failed to get \"write\" lock"))
            << error.localizedDescription().toStdString();
    }
    EXPECT_EQ(competitor.stateCode(), 0);
    EXPECT_EQ(competitor.processId(), 0);

    delegate->notices.clear();
    ::kill(pid_t(first->processId()), SIGKILL);
    ASSERT_TRUE(test::waitUntil([&] { return first->stateCode() == 3; }, 30s));
    ASSERT_EQ(delegate->notices.size(), 1);
    EXPECT_TRUE(delegate->notices.at(0).startsWith("didStopWithError 3 Die virtuelle Maschine wurde unerwartet beendet"));

    delegate->notices.clear();
    QemuVirtualMachine &second = newMachine();
    runSync(second.start(), 120s);
    const qint64 qemu = second.processId();
    const QList<qint64> shares = second.shareProcessIds();
    ASSERT_FALSE(shares.isEmpty());
    runSync(second.stop(), 60s);
    EXPECT_EQ(second.stateCode(), 0);
    EXPECT_TRUE(delegate->notices.isEmpty());
    EXPECT_FALSE(test::processAlive(qemu));
    for (const qint64 share : shares)
        EXPECT_TRUE(test::waitUntil([&] { return !test::processAlive(share); }, 10s));

    QemuVirtualMachine &seedless = newMachine();
    removeItem(LinuxDiskManager().runtimeDirectory(runtime.id) + "/seed.iso");
    try {
        runSync(seedless.start(), 120s);
        FAIL() << "started without its seed";
    } catch (const DomainError &error) {
        EXPECT_TRUE(error.localizedDescription().contains("Could not open")) << error.localizedDescription().toStdString();
    }
    EXPECT_EQ(seedless.stateCode(), 0);
}

TEST_F(QemuVirtualMachineVmTest, AnOrdinaryUserBootsLogsServesSSHSharesTheWorkspaceOwnsWhatTheGuestWritesAndPowersOff)
{
    if (::geteuid() == 0) {
        QString whyNot;
        ASSERT_TRUE(test::OrdinaryUser::ensure(&whyNot)) << whyNot.toStdString();
        ASSERT_TRUE(test::OrdinaryUser::canReach({TestGuest::imagePath()}, &whyNot)) << whyNot.toStdString();
        const ProcessResult child = test::OrdinaryUser::rerunCurrentTest(600s);
        EXPECT_TRUE(child.succeeded()) << "the test failed as " << test::OrdinaryUser::name.toStdString();
        return;
    }

    QemuVirtualMachine &machine = newMachine();
    boot(machine);
    const QString workspace = runtime.workspacePath;

    EXPECT_TRUE(TestGuest::serialLog(runtime).startsWith("===== TRELLIUM SERIAL CONSOLE START "));
    EXPECT_TRUE(TestGuest::serialLog(runtime, "legacy-serial.log").startsWith("===== TRELLIUM SERIAL CONSOLE START "));
    EXPECT_TRUE(test::waitUntil(
        [&] { return TestGuest::serialLog(runtime, "legacy-serial.log").contains("TRELLIUM-TEST-GUEST"); }, 30s));
    EXPECT_EQ(run("cat /etc/hostname").trimmed(), QStringLiteral("testguest"));

    // The user's files are the guest user's in the guest.
    writeFileAtomically(workspace + "/vom-host.txt", "hallo vom Host");
    EXPECT_EQ(run("stat -c %u:%g /workspace/vom-host.txt").trimmed(), QStringLiteral("1000:1000"));

    // What the guest user (uid 1000) writes is the user's on the host: readable,
    // changeable and removable without root.
    const QString written = run(
        "grep -q '^gast:' /etc/passwd || echo 'gast:x:1000:1000::/tmp:/bin/sh' >>/etc/passwd; "
        "su -s /bin/sh gast -c 'id -u; cat /workspace/vom-host.txt; echo; mkdir /workspace/vom-gast "
        "&& echo hallo vom Gast >/workspace/vom-gast/datei.txt && chmod 600 /workspace/vom-gast/datei.txt'");
    EXPECT_EQ(written, QStringLiteral("1000\nhallo vom Host\n"));
    const QString file = workspace + "/vom-gast/datei.txt";
    ASSERT_TRUE(itemExists(file));
    EXPECT_EQ(readWholeFile(file), QByteArray("hallo vom Gast\n"));
    EXPECT_EQ(QFileInfo(file).ownerId(), ::geteuid());
    EXPECT_EQ(QFileInfo(file).groupId(), ::getegid());
    EXPECT_EQ(QFileInfo(workspace + "/vom-gast").ownerId(), ::geteuid());
    // Mode 600: only its owner may write it in place.
    QFile inPlace(file);
    EXPECT_TRUE(inPlace.open(QIODevice::Append)) << inPlace.errorString().toStdString();
    inPlace.close();
    removeItem(workspace + "/vom-gast");
    EXPECT_FALSE(itemExists(workspace + "/vom-gast"));

    // The guest powers itself off: the machine stops with its processes.
    const qint64 qemu = machine.processId();
    const QList<qint64> shares = machine.shareProcessIds();
    ASSERT_FALSE(shares.isEmpty());
    try {
        run("sudo poweroff");
    } catch (const std::exception &) {
        // The connection may drop while the guest goes down.
    }
    ASSERT_TRUE(test::waitUntil([&] { return machine.stateCode() == 0; }, 60s)) << machine.stateCode();
    EXPECT_EQ(delegate->notices, QStringList{"guestDidStop 0"});
    EXPECT_TRUE(test::waitUntil([&] { return !test::processAlive(qemu); }, 10s));
    for (const qint64 share : shares)
        EXPECT_TRUE(test::waitUntil([&] { return !test::processAlive(share); }, 10s));
}
