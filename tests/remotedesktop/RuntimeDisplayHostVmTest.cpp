#include "core/Async.h"
#include "platform/vm/QemuVirtualMachine.h"
#include "remotedesktop/RuntimeDisplayHost.h"

#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QThread>

#include <functional>

using namespace trellium;
using namespace std::chrono_literals;
using trellium::test::waitUntil;

namespace {

const QString kFirmwareVariables = QStringLiteral("/usr/share/OVMF/OVMF_VARS_4M.fd");

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

class RuntimeDisplayHostVmTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        const QemuEnvironment defaults;
        for (const QString &path : {defaults.qemuPath, defaults.firmwareCodePath, kFirmwareVariables})
            ASSERT_TRUE(QFile::exists(path)) << path.toStdString();
    }

    // Firmware only: the empty disk boots nothing, so OVMF's own screens show.
    std::shared_ptr<QemuVirtualMachine> firmwareMachine()
    {
        const QString folder = scratch(QStringLiteral("machine"));
        VirtualMachineConfiguration configuration;
        configuration.cpuCount = 1;
        configuration.memorySize = uint64_t(256) << 20;
        configuration.machineIdentifier = QUuid::createUuid();
        configuration.efiVariableStorePath = folder + QStringLiteral("/efi-variables.fd");
        EXPECT_TRUE(QFile::copy(kFirmwareVariables, configuration.efiVariableStorePath));
        QFile::setPermissions(configuration.efiVariableStorePath, QFile::ReadOwner | QFile::WriteOwner);
        QFile disk(folder + QStringLiteral("/disk.img"));
        EXPECT_TRUE(disk.open(QIODevice::WriteOnly) && disk.resize(1 << 20));
        disk.close();
        configuration.storageDevices = {{disk.fileName(), false}};
        configuration.graphicsScanouts = {{1600, 1120}};
        configuration.keyboards = 1;
        configuration.pointingDevices = 1;

        QemuEnvironment environment = QemuEnvironment::shared();
        environment.accelerator = VirtualMachineAccelerator::tcg;
        environment.restrictNetwork = true;
        environment.socketRoot = scratch(QStringLiteral("sockets"));
        return std::make_shared<QemuVirtualMachine>(configuration, environment);
    }
};

} // namespace

TEST_F(RuntimeDisplayHostVmTest, MirrorsTheFirmwareScreenAndFollowsItsResize)
{
    std::shared_ptr<QemuVirtualMachine> machine = firmwareMachine();
    runSync(machine->start(), 120s);
    ASSERT_EQ(machine->state(), VirtualMachineState::running);
    ASSERT_FALSE(machine->vncSocketPath().isEmpty());

    RuntimeDisplayHost host;
    const QUuid runtime = QUuid::createUuid();
    RuntimeDisplayView *view = host.attach(runtime, machine, 1600, 1120);
    ASSERT_NE(view->mirror, nullptr);
    EXPECT_EQ(host.machine(runtime), machine);

    // OVMF starts at 640x480 and then switches to 1280x800: the mirror must
    // follow, and the firmware's screen is not black throughout.
    std::optional<PixelBuffer> picture;
    const bool shown = waitUntil(
        [&] {
            if (view->mirror->size() != QSize(1280, 800))
                return false;
            picture = host.snapshot(runtime, 800, 560);
            return picture && hasContent(*picture);
        },
        300s);
    ASSERT_TRUE(shown) << "mirror " << view->mirror->size().width() << "x" << view->mirror->size().height()
                       << ", state " << int(view->mirror->state()) << ", updates " << view->mirror->updateCount();
    EXPECT_EQ(picture->width, 800);
    EXPECT_EQ(picture->height, 560);
    EXPECT_TRUE(view->mirror->isConnected());

    // The boot-screen picture the runtime start sequence keeps.
    const QString bootScreen = scratch() + QStringLiteral("/logs/boot-screen.png");
    host.saveDiagnosticSnapshot(runtime, 1600, 1120, bootScreen);
    QImage saved;
    ASSERT_TRUE(saved.load(bootScreen, "PNG"));
    EXPECT_EQ(saved.size(), QSize(1600, 1120));

    host.detach(runtime);
    EXPECT_FALSE(host.isAttached(runtime));
    runSync(machine->stop(), 60s);
    EXPECT_EQ(machine->state(), VirtualMachineState::stopped);
}
