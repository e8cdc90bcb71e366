#include "core/Async.h"
#include "core/Errors.h"
#include "core/Files.h"
#include "platform/vm/QemuVirtualMachine.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QUuid>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

// Stand-ins for QEMU and virtiofsd; each notes its process id so the test can
// tell that none outlives a failed start.
class QemuVirtualMachineTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        environment.accelerator = VirtualMachineAccelerator::tcg;
        environment.virtiofsdSandbox = QStringLiteral("namespace");
        environment.virtiofsdUserNamespace = false;
        // In /tmp itself: socket paths fit an address whatever TMPDIR names.
        ASSERT_TRUE(sockets.isValid());
        environment.socketRoot = sockets.path();
        pids = scratch() + QStringLiteral("/pids");
    }

    QString fake(const QString &name, const QByteArray &body)
    {
        const QString path = scratch(QStringLiteral("bin")) + QLatin1Char('/') + name;
        test::writeExecutable(path, "#!/bin/bash\necho $$ >>" + QFile::encodeName(pids) + "\n" + body);
        return path;
    }

    VirtualMachineConfiguration configuration(bool withShare) const
    {
        VirtualMachineConfiguration c;
        c.memorySize = uint64_t(256) << 20;
        c.machineIdentifier = QUuid::createUuid();
        c.efiVariableStorePath = scratch() + QStringLiteral("/efi-variable-store");
        c.storageDevices.append({scratch() + QStringLiteral("/disk.img"), false});
        if (withShare)
            c.directoryShares.append({QStringLiteral("workspace"), scratch(QStringLiteral("workspace")), false});
        return c;
    }

    // Starts a machine that must fail; returns the error's text.
    QString failingStart(bool withShare)
    {
        QemuVirtualMachine machine(configuration(withShare), environment);
        try {
            runSync(machine.start(), 30s);
        } catch (const Error &error) {
            EXPECT_EQ(machine.stateCode(), 0);
            EXPECT_EQ(machine.processId(), 0);
            EXPECT_TRUE(machine.shareProcessIds().isEmpty());
            // Not only when the machine goes: its next start makes a new one.
            EXPECT_TRUE(listDirectory(environment.socketRoot).isEmpty());
            return error.localizedDescription();
        }
        ADD_FAILURE() << "the start succeeded";
        return {};
    }

    QTemporaryDir sockets{QStringLiteral("/tmp/vm-XXXXXX")};
    QemuEnvironment environment;
    QString pids;
};

const QByteArray kReadyVirtiofsd = "echo 'virtio_session_mount: Waiting for vhost-user socket connection...' >&2\n"
                                   "exec sleep 600\n";

// Greets, accepts the capabilities and usernet commands, refuses cont.
const QByteArray kRefusingQemu = R"(
for a; do case $a in socket,id=qmp,fd=*) fd=${a#socket,id=qmp,fd=}; fd=${fd%%,*};; esac; done
echo '{"QMP": {"version": {}, "capabilities": []}}' >&$fd
while IFS= read -r line <&$fd; do
  id=$(sed -n 's/.*"id":\([0-9]*\).*/\1/p' <<<"$line")
  case $line in
    *'"cont"'*) echo "{\"error\": {\"class\": \"GenericError\", \"desc\": \"cont verweigert\"}, \"id\": $id}" >&$fd; exit 1;;
    *) echo "{\"return\": {}, \"id\": $id}" >&$fd;;
  esac
done
)";

} // namespace

TEST_F(QemuVirtualMachineTest, FailedStartsLeakNoDescriptorProcessOrSocketFolder)
{
    struct Case {
        const char *name;
        std::function<void()> arrange;
        bool withShare;
        QString expected;
    };
    const std::vector<Case> cases{
        {"QEMU missing", [&] { environment.qemuPath = scratch() + QStringLiteral("/no-qemu"); }, false, "no-qemu"},
        {"virtiofsd missing",
         [&] {
             environment.qemuPath = fake(QStringLiteral("qemu"), "exit 1\n");
             environment.virtiofsdPath = scratch() + QStringLiteral("/no-virtiofsd");
         },
         true, "no-virtiofsd"},
        {"virtiofsd ends at once",
         [&] { environment.virtiofsdPath = fake(QStringLiteral("virtiofsd"), "echo 'fuse: kaputte Freigabe' >&2\nexit 1\n"); },
         true, "Die Ordnerfreigabe konnte nicht gestartet werden: fuse: kaputte Freigabe"},
        {"QEMU ends at once",
         [&] {
             environment.virtiofsdPath = fake(QStringLiteral("virtiofsd"), kReadyVirtiofsd);
             environment.qemuPath = fake(QStringLiteral("qemu"), "echo \"qemu: Could not open 'disk.img'\" >&2\nexit 1\n");
         },
         true, "Could not open 'disk.img'"},
        {"QEMU refuses to run the CPUs",
         [&] { environment.qemuPath = fake(QStringLiteral("qemu"), kRefusingQemu); }, true, "cont verweigert"},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        // The first start sets up what a process keeps (Qt's child watcher).
        failingStart(c.withShare);
        const int before = test::openDescriptors();
        for (int i = 0; i < 3; ++i) {
            const QString error = failingStart(c.withShare);
            EXPECT_TRUE(error.contains(c.expected)) << error.toStdString();
        }
        // Closed objects go with the event loop's deferred deletions.
        EXPECT_TRUE(test::waitUntil([&] { return test::openDescriptors() <= before; }, 5s))
            << test::openDescriptors() - before << " descriptors more than before";
    }

    const QStringList started = test::fileLines(pids);
    EXPECT_GE(started.size(), 12);
    for (const QString &pid : started)
        EXPECT_TRUE(test::waitUntil([&] { return !test::processAlive(pid.toLongLong()); }, 5s)) << pid.toStdString();
}
