#include "core/Errors.h"
#include "core/Files.h"
#include "core/Json.h"
#include "platform/vm/QemuVirtualMachine.h"
#include "runtime/linux/LinuxSerialConsoleRegistry.h"
#include "runtime/linux/LinuxVMBuilder.h"
#include "runtime/linux/LinuxVirtualMachineDelegate.h"

#include "support/Samples.h"
#include "support/ScriptedMachine.h"
#include "support/TestEnvironment.h"

#include <QRegularExpression>

using namespace trellium;
using test::errorOf;

namespace {

class LinuxVMBuilderTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        // A comma in every runtime path: QEMU must see it doubled.
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome() + "/da,ta"));
        runtime = test::sampleRuntime(scratch("workspace"));
        runtime.macAddress = QStringLiteral("52:54:00:0A:0B:0C");
        disks.ensureRuntimeDirectory(runtime.id);
        writeFileAtomically(folder() + "/seed.iso", "seed");
    }

    void TearDown() override
    {
        LinuxSerialConsoleRegistry::shared().stopCaptures(runtime.id);
        DataHomeTest::TearDown();
    }

    QString folder() const { return disks.runtimeDirectory(runtime.id); }

    LinuxDiskManager disks;
    LinuxVMBuilder builder;
    RuntimeConfig runtime;
};

} // namespace

TEST_F(LinuxVMBuilderTest, BuildsTheExpectedQemuMachineAndKeepsItsIdentity)
{
    const VirtualMachineConfiguration configuration = builder.makeConfiguration(runtime);

    QemuEnvironment environment;
    VirtualMachineConfiguration::Runtime run;
    run.qmpDescriptor = 40;
    run.shareSocketPaths = {"/run/vm/fs0.sock"};
    run.vncSocketPath = "/run/vm/vnc.sock";
    run.restrictNetwork = true;
    const int console = configuration.consolePorts.at(0).attachment.fileDescriptor;
    const int serial = configuration.serialPorts.at(0).attachment.fileDescriptor;
    const QString escaped = QString(folder()).replace(",", ",,");
    const QString id = configuration.machineIdentifier.toString(QUuid::WithoutBraces);

    // The measured pitfalls: doubled commas in paths, no option ROM (else
    // OVMF boots from the network first), shared memfd for virtiofsd, ports
    // and QMP on inherited descriptors, the seed read-only.
    const QString arguments = configuration.qemuArguments(environment, run).join(' ');
    const QStringList parts{
        "-machine q35,memory-backend=mem -accel tcg,thread=multi", "-uuid " + id, "-smp 2 -m 4096M",
        "-object memory-backend-memfd,id=mem,size=4096M,share=on",
        "-drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd",
        "-drive if=pflash,format=raw,unit=1,file=" + escaped + "/efi-variable-store",
        "-drive if=none,id=disk0,format=raw,file=" + escaped + "/disk.img",
        "-drive if=none,id=disk1,format=raw,file=" + escaped + "/seed.iso,readonly=on",
        "-netdev user,id=net0,restrict=on,hostfwd=tcp:127.0.0.1:0-:22",
        "mac=52:54:00:0a:0b:0c,romfile= ", "virtio-vga,xres=1600,yres=1120",
        "usb-tablet,bus=xhci.0", QString("socket,id=con0,fd=%1,server=off").arg(console),
        "-serial chardev:ser0", "vhost-user-fs-pci,chardev=fs0,tag=workspace",
        "-chardev socket,id=qmp,fd=40,server=off -mon chardev=qmp,mode=control",
        "-vnc unix:/run/vm/vnc.sock -display none"};
    for (const QString &part : parts)
        EXPECT_TRUE(arguments.contains(part)) << part.toStdString() << "\nin: " << arguments.toStdString();
    EXPECT_EQ(configuration.inheritedDescriptors(run), (QList<int>{40, console, serial}));

    // Without the test's restriction the guest gets a normal NAT network.
    run.restrictNetwork = false;
    EXPECT_TRUE(configuration.qemuArguments(environment, run).contains("user,id=net0,hostfwd=tcp:127.0.0.1:0-:22"));

    // The machine identity is kept, and a corrupt one refused.
    const QUuid first = configuration.machineIdentifier;
    const QByteArray store = readWholeFile(folder() + "/efi-variable-store");
    EXPECT_EQ(builder.makeConfiguration(runtime).machineIdentifier, first);
    EXPECT_EQ(readWholeFile(folder() + "/machine-identifier"), uuidText(first).toUtf8());
    EXPECT_EQ(readWholeFile(folder() + "/efi-variable-store"), store);

    removeItem(folder() + "/machine-identifier");
    EXPECT_NE(builder.makeConfiguration(runtime).machineIdentifier, first);

    writeFileAtomically(folder() + "/machine-identifier", "\x01\x02garbage");
    EXPECT_EQ(errorOf([&] { builder.makeConfiguration(runtime); }),
              "Gespeicherte VM-Machine-ID ist ungültig: " + folder() + "/machine-identifier");
}

TEST_F(LinuxVMBuilderTest, FailuresStopAfterTheirGroupAndKeepEarlierFiles)
{
    removeItem(runtime.workspacePath);
    test::LogCapture log;
    EXPECT_EQ(errorOf([&] { builder.makeConfiguration(runtime); }),
              "Workspace-Pfad existiert nicht: " + runtime.workspacePath);
    EXPECT_EQ(log.lines().last(), QStringLiteral("CONFIG 9 share"));
    // The captures were made before the share failed, and their logs exist.
    EXPECT_TRUE(readWholeFile(folder() + "/logs/serial.log").startsWith("===== TRELLIUM SERIAL CONSOLE START"));
    EXPECT_TRUE(itemExists(folder() + "/logs/legacy-serial.log"));
    EXPECT_TRUE(itemExists(folder() + "/disk.img"));

    // A file is no folder to share.
    writeFileAtomically(runtime.workspacePath, "x");
    EXPECT_EQ(errorOf([&] { builder.makeConfiguration(runtime); }),
              "Workspace-Pfad existiert nicht: " + runtime.workspacePath);

    removeItem(folder() + "/seed.iso");
    EXPECT_TRUE(errorOf([&] { builder.makeConfiguration(runtime); }).contains("seed.iso"));

    RuntimeConfig tooBig = runtime;
    tooBig.memoryGB = 2048;
    EXPECT_EQ(errorOf([&] { builder.makeConfiguration(tooBig); }),
              QStringLiteral("Der Arbeitsspeicher muss zwischen 1 und 1024 GB liegen."));
}

TEST_F(LinuxVMBuilderTest, UnusableMacAddressesAreReplacedByRandomLocalOnes)
{
    for (const char *bad : {"not-a-mac", "01:00:5e:00:00:01", "52:54:00:0a:0b", ""}) {
        runtime.macAddress = QString::fromLatin1(bad);
        const MACAddress mac = builder.makeNetworkDevice(runtime).macAddress;
        EXPECT_EQ(mac.bytes()[0] & 0x03, 0x02) << bad;  // locally administered, unicast
    }
    runtime.macAddress.reset();
    EXPECT_NE(builder.makeNetworkDevice(runtime).macAddress, builder.makeNetworkDevice(runtime).macAddress);
    EXPECT_EQ(MACAddress::fromString("52:54:00:0A:0B:0C")->string(), QStringLiteral("52:54:00:0a:0b:0c"));
}

TEST(VirtualMachineConfiguration, ValidationRefusesWhatQemuWouldStumbleOver)
{
    QTemporaryDir dir;
    const QString disk = dir.filePath("disk.img");
    writeFileAtomically(disk, "d");
    VirtualMachineConfiguration c;
    c.cpuCount = 2;
    c.memorySize = uint64_t(1) << 30;
    c.machineIdentifier = QUuid::createUuid();
    c.efiVariableStorePath = disk;
    c.storageDevices = {{disk, false}};
    c.directoryShares = {{"workspace", dir.path(), false}};
    EXPECT_NO_THROW(c.validate());

    const std::vector<std::function<void(VirtualMachineConfiguration &)>> faults{
        [&](auto &bad) { bad.directoryShares = {{QString(37, 'a'), dir.path(), false}}; },  // tag too long
        [&](auto &bad) { bad.directoryShares = {{"workspace", disk, false}}; },
        [](auto &bad) { bad.cpuCount = 65; },
        [](auto &bad) { bad.memorySize = uint64_t(64) << 20; },
        [](auto &bad) { bad.storageDevices = {}; }};
    for (size_t i = 0; i < faults.size(); ++i) {
        VirtualMachineConfiguration bad = c;
        faults[i](bad);
        EXPECT_THROW(bad.validate(), DomainError) << "case " << i;
    }
}

TEST(QemuVirtualMachine, ReadsTheForwardedSSHPortFromUsernet)
{
    const QString usernet = QStringLiteral(
        "Hub -1 (net0):\n"
        "  Protocol[State]    FD  Source Address  Port   Dest. Address  Port RecvQ SendQ\n"
        "  TCP[HOST_FORWARD]  14       127.0.0.1  8080       10.0.2.15    80     0     0\n"
        "  TCP[HOST_FORWARD]  13       127.0.0.1 35757       10.0.2.15    22     0     0\n");
    EXPECT_EQ(QemuVirtualMachine::parseForwardedSSHPort(usernet), std::optional<uint16_t>(35757));
    EXPECT_EQ(QemuVirtualMachine::parseForwardedSSHPort("Hub -1 (net0):\n"), std::nullopt);
}

TEST_F(LinuxVMBuilderTest, LifecycleLogRecordsBannerMilestonesAndNoticesInOrder)
{
    test::ScriptedMachine machine;
    auto delegate = LinuxVirtualMachineDelegate::make(disks, runtime.id);
    machine.setDelegate(delegate);
    delegate->writeEntry("runtime start requested");
    machine.setState(VirtualMachineState::running);
    delegate->writeEntry(QStringLiteral("runtime start succeeded state=%1").arg(machine.stateCode()));
    machine.guestPowersOff();
    machine.crashes("kaputt");
    delegate->flush();

    const QString path = disks.runtimeDirectory(runtime.id) + "/logs/vm-lifecycle.log";
    const QStringList lines = QString::fromUtf8(readWholeFile(path)).split('\n');
    const QString date = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000)";
    ASSERT_EQ(lines.size(), 7) << lines.join('|').toStdString();
    EXPECT_TRUE(QRegularExpression("^===== TRELLIUM VM LIFECYCLE START " + date + " =====$").match(lines[0]).hasMatch());
    EXPECT_EQ(lines[1], "runtimeID=" + uuidText(runtime.id));
    EXPECT_TRUE(QRegularExpression("^\\[" + date + "\\] runtime start requested$").match(lines[2]).hasMatch());
    EXPECT_TRUE(lines[3].endsWith("] runtime start succeeded state=1"));
    EXPECT_TRUE(lines[4].endsWith("] guestDidStop state=0"));
    EXPECT_TRUE(lines[5].endsWith("] didStopWithError state=3 error=kaputt"));
    EXPECT_EQ(lines[6], QString());

    // A new machine starts the log afresh.
    LinuxVirtualMachineDelegate::make(disks, runtime.id)->flush();
    EXPECT_EQ(QString::fromUtf8(readWholeFile(path)).count('\n'), 2);

    test::LogCapture dump;
    LinuxVirtualMachineDelegate::dumpLifecycleLog(disks, runtime.id);
    ASSERT_EQ(dump.lines().size(), 3);
    EXPECT_EQ(dump.lines().at(0), "===== VM LIFECYCLE LOG =====");
    EXPECT_EQ(dump.lines().at(2), "============================");
    removeItem(path);
    LinuxVirtualMachineDelegate::dumpLifecycleLog(disks, runtime.id);
    EXPECT_EQ(dump.lines().last(), "No VM lifecycle log found: " + path);

    // Writes that fail (a file where the logs folder should be) are
    // reported, not thrown.
    removeItem(folder() + "/logs");
    writeFileAtomically(folder() + "/logs", "in the way");
    auto blocked = LinuxVirtualMachineDelegate::make(disks, runtime.id);
    blocked->writeEntry("runtime start requested");
    blocked->flush();
    EXPECT_EQ(dump.count("VM lifecycle log write failed: "), 2);
}
