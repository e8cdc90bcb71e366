#include "agent/AgentManager.h"
#include "core/Async.h"
#include "core/Files.h"
#include "core/Json.h"
#include "core/Log.h"
#include "core/Process.h"
#include "remotedesktop/RemoteDesktopServer.h"
#include "remotedesktop/RuntimeDisplayHost.h"
#include "runtime/RuntimeManager.h"
#include "runtime/RuntimeSessionManager.h"
#include "runtime/linux/LinuxRuntimeProvider.h"
#include "runtime/linux/LinuxSSHManager.h"

#include "support/H264Decoder.h"
#include "support/HttpTestServer.h"
#include "support/RemoteDesktopFrame.h"
#include "support/Samples.h"
#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QMutex>

#include <cstdio>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

const QString kUbuntu = QStringLiteral("ubuntu-24.04-amd64");

// The frames the remote desktop sends, kept for decoding.
class RecordingConnection : public RemoteDesktopConnection {
public:
    void send(const QByteArray &message) override
    {
        QMutexLocker lock(&mutex);
        messages << message;
    }
    qint64 pendingBytes() const override { return 0; }
    bool isOpen() const override { return true; }

    mutable QMutex mutex;
    QList<QByteArray> messages;
};

// Prints how long each stage took, as it ends.
class Stages {
public:
    Stages() { m_total.start(); }
    void begin(const QString &name)
    {
        m_name = name;
        m_stage.start();
    }
    void end()
    {
        std::fprintf(stderr, "E2E STAGE %-28s %7.1f s (total %7.1f s)\n", qPrintable(m_name), m_stage.elapsed() / 1000.0,
                     m_total.elapsed() / 1000.0);
    }

private:
    QElapsedTimer m_total;
    QElapsedTimer m_stage;
    QString m_name;
};

class RuntimeFromNothingE2eTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        image = QString::fromLocal8Bit(qgetenv("TRELLIUM_DEBIAN_GUEST"));
        if (image.isEmpty() || !itemExists(image))
            GTEST_SKIP() << "TRELLIUM_DEBIAN_GUEST names no image (scripts/build-debian-guest builds it; scripts/test sets it)";
    }

    void TearDown() override
    {
        // Where CI keeps what a failed run leaves: every runtime's logs and screen.
        const QString artifacts = qEnvironmentVariable("TRELLIUM_TEST_ARTIFACTS");
        if (HasFailure() && !artifacts.isEmpty()) {
            const QString runtimes = dataHome() + "/data/TRELLIUM/Runtimes";
            for (const QString &runtime : isDirectory(runtimes) ? listDirectory(runtimes) : QStringList()) {
                const QString logs = runtimes + "/" + runtime + "/logs";
                if (!isDirectory(logs))
                    continue;
                createDirectories(artifacts + "/" + runtime);
                for (const QString &file : listDirectory(logs))
                    copyFileSparse(logs + "/" + file, artifacts + "/" + runtime + "/" + file);
            }
        }
        RemoteDesktopServer::shared().stop();
        RemoteDesktopServer::shared().setRuntimes({});
        RuntimeSessionManager::shared().closeAllTerminalSessions();
        DataHomeTest::TearDown();
    }

    QString guest(const RuntimeConfig &record, const QString &command)
    {
        return runSync(LinuxSSHManager().runCommand(record, command), 60s).trimmed();
    }

    // debugfs on the base disk's root file system (its last partition).
    QString baseDisk(const QString &request) const
    {
        const QString disk = LinuxDiskManager().baseImagesDirectory() + "/" + kUbuntu + "/disk.img";
        const QJsonObject table = parseJsonObject(runProcessBlocking("/usr/sbin/sfdisk", {"--json", disk}).standardOutput)
                                      .value("partitiontable").toObject();
        const qint64 start = table.value("partitions").toArray().last().toObject().value("start").toInteger();
        const QString root = disk + "?offset=" + QString::number(start * table.value("sectorsize").toInteger());
        return QString::fromUtf8(runProcessBlocking("/usr/sbin/debugfs", {"-R", request, root}).standardOutput);
    }

    QString image;
};

} // namespace

TEST_F(RuntimeFromNothingE2eTest, ARuntimeIsCreatedStartedUsedStoppedAndDeletedFromNothing)
{
    Stages stages;
    // The mirror: the image as the Ubuntu download, once on a server that
    // ignores ranges and once on one that honours them.
    test::HttpTestServer mirror;
    mirror.route("/noble/current/noble-server-cloudimg-amd64.img", test::HttpResponse::file(image, false));
    mirror.route("/releases/noble/release/ubuntu-24.04-server-cloudimg-amd64.img", test::HttpResponse::file(image));

    LinuxRuntimeProvider::Dependencies dependencies;
    dependencies.images.sources = {
        LinuxImageSource{kUbuntu, QStringLiteral("Ubuntu 24.04"),
                         {mirror.url("/noble/current/noble-server-cloudimg-amd64.img"),
                          mirror.url("/releases/noble/release/ubuntu-24.04-server-cloudimg-amd64.img")},
                         LinuxImageFormat::qcow2}};
    RuntimeManager manager;
    auto provider = std::make_shared<LinuxRuntimeProvider>(manager.store(), dependencies);
    manager.registerProvider(provider);

    // Preparation, stage by stage.
    stages.begin("probe + download");
    QList<RuntimeImageStatus> statuses;
    auto onStatus = [&](RuntimeImageStatus status) {
        if (!statuses.isEmpty())
            stages.end();
        statuses << status;
        stages.begin(enumName(status));
    };
    runSync(provider->imageManager().prepareRuntimeImage(kUbuntu, onStatus), 20min);
    stages.end();
    EXPECT_EQ(statuses, (QList<RuntimeImageStatus>{RuntimeImageStatus::downloading, RuntimeImageStatus::converting,
                                                   RuntimeImageStatus::preparing}));
    EXPECT_EQ(mirror.count("GET", "/noble/current/noble-server-cloudimg-amd64.img"), 1);  // its probe only
    const auto infos = provider->imageManager().runtimeImageInfos();
    ASSERT_EQ(infos.size(), 1);
    EXPECT_EQ(infos.first().status, RuntimeImageStatus::installed);
    // The template runtime is gone again.
    EXPECT_TRUE(manager.store().loadAllRuntimes().isEmpty());
    // Its provisioning ran to its end before the cleanup (the image has every
    // package: the programs prove nothing): apt-get update, the enabled
    // desktop and runcmd's last step, the banner, are in the base disk.
    EXPECT_TRUE(baseDisk("ls /var/lib/apt/lists").contains("trellium-apt"));
    EXPECT_TRUE(baseDisk("ls /etc/systemd/system/multi-user.target.wants").contains("trellium-desktop.service"));
    EXPECT_TRUE(baseDisk("cat /etc/motd").contains("TRELLIUM RUNTIME"));

    stages.begin("create");
    RuntimeConfig record = test::sampleRuntime(scratch("workspace"));
    record.name = QStringLiteral("E2E Runtime");
    record.cpuCount = 2;
    record.memoryGB = 2;
    record.diskGB = 32;  // more than the template's 30 GiB: the copy grows
    record.distro = kUbuntu;
    record.hostname = QStringLiteral("e2e-runtime");
    record.macAddress.reset();
    RuntimeConfig created = runSync(manager.createRuntime(record), 5min);
    stages.end();
    EXPECT_EQ(created.state, RuntimeState::created);
    ASSERT_TRUE(created.macAddress);
    const QString folder = manager.store().runtimeDirectory(record.id);
    EXPECT_EQ(fileSize(folder + "/disk.img"), int64_t(32) << 30);

    stages.begin("first start");
    QList<RuntimeState> states;
    auto onUpdate = [&states](const RuntimeConfig &c) { states << c.state; };
    RuntimeConfig running = runSync(manager.startRuntime(record.id, RuntimeKind::linux, onUpdate), 15min);
    stages.end();
    ASSERT_EQ(running.state, RuntimeState::running);
    EXPECT_EQ(states.mid(0, 4), (QList<RuntimeState>{RuntimeState::starting, RuntimeState::booting,
                                                     RuntimeState::desktopPreparing, RuntimeState::running}));

    stages.begin("command + terminal");
    EXPECT_TRUE(guest(running, "cat /etc/trellium-runtime.conf").contains(uuidText(record.id)));
    EXPECT_EQ(guest(running, "hostname"), QStringLiteral("e2e-runtime"));
    // The machine's identity: its platform UUID and the host key cloud-init
    // made for this instance.
    const QString productUUID = guest(running, "sudo cat /sys/class/dmi/id/product_uuid");
    const QString hostKey = guest(running, "cat /etc/ssh/ssh_host_ed25519_key.pub");
    EXPECT_EQ(productUUID.toUpper(), QString::fromLatin1(readWholeFile(manager.store().runtimeDirectory(record.id)
                                                                       + "/machine-identifier")).trimmed().toUpper());
    EXPECT_TRUE(hostKey.startsWith("ssh-ed25519 "));

    QByteArray terminal;
    RuntimeSessionManager::shared().openTerminalSession(running, [&terminal](const QByteArray &chunk) { terminal += chunk; });
    RuntimeSessionManager::shared().sendTerminalLine(record.id, QStringLiteral("echo terminal-$((6*7))"));
    EXPECT_TRUE(test::waitUntil([&] { return terminal.contains("terminal-42"); }, 60s)) << terminal.constData();
    RuntimeSessionManager::shared().closeTerminalSession(record.id);
    stages.end();

    stages.begin("remote desktop");
    auto connection = std::make_shared<RecordingConnection>();
    RemoteDesktopServer::shared().setRuntimes(AgentManager::remoteDesktopRuntimes(manager));
    RemoteDesktopServer::shared().start(connection, RemoteDesktopSource::runtime(record.id), 1200, 840, 15, 2'000'000);
    const bool streamed = test::waitUntil(
        [&] {
            QMutexLocker lock(&connection->mutex);
            return connection->messages.size() >= 10;
        },
        120s);
    RemoteDesktopServer::shared().stop();
    ASSERT_TRUE(streamed);
    test::H264Decoder decoder;
    int decoded = 0;
    for (const QByteArray &message : connection->messages) {
        const auto pictures = decoder.decode(test::RemoteDesktopFrame::parse(message).annexB());
        ASSERT_TRUE(pictures);
        for (const auto &picture : *pictures) {
            EXPECT_EQ(picture.width, 1200);
            ++decoded;
        }
    }
    EXPECT_GE(decoded, 10);
    stages.end();

    stages.begin("stop");
    EXPECT_EQ(runSync(manager.stopRuntime(record.id, RuntimeKind::linux, {}), 3min).state, RuntimeState::stopped);
    EXPECT_FALSE(provider->virtualMachine(record.id));
    stages.end();

    stages.begin("second start");
    running = runSync(manager.startRuntime(record.id, RuntimeKind::linux, {}), 15min);
    stages.end();
    ASSERT_EQ(running.state, RuntimeState::running);
    EXPECT_EQ(guest(running, "sudo cat /sys/class/dmi/id/product_uuid"), productUUID);
    EXPECT_EQ(guest(running, "cat /etc/ssh/ssh_host_ed25519_key.pub"), hostKey);
    // The runtime's share, not the template's, is at /workspace, boot after boot.
    EXPECT_EQ(guest(running, "findmnt -n -o SOURCE /workspace"), QStringLiteral("workspace"));

    stages.begin("second stop + delete");
    EXPECT_EQ(runSync(manager.stopRuntime(record.id, RuntimeKind::linux, {}), 3min).state, RuntimeState::stopped);
    runSync(manager.deleteRuntime(record.id, RuntimeKind::linux));
    stages.end();
    EXPECT_FALSE(itemExists(folder));
}
