#include "support/TestGuest.h"
#include "support/Samples.h"

#include "core/Async.h"
#include "core/Files.h"
#include "runtime/RuntimeStore.h"
#include "runtime/images/LinuxCloudInitManager.h"
#include "runtime/images/LinuxDiskManager.h"
#include "runtime/linux/LinuxSSHKeyManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimeZone>

namespace trellium::test::TestGuest {

QString imagePath()
{
    const QByteArray overridden = qgetenv("TRELLIUM_TEST_GUEST");
    if (!overridden.isEmpty())
        return QString::fromLocal8Bit(overridden);
    return QStringLiteral(TRELLIUM_BINARY_DIR "/test-guest/disk.img");
}

bool available(QString *whyNot)
{
    if (!itemExists(imagePath())) {
        *whyNot = QStringLiteral("no test guest at %1 (scripts/build-test-guest builds it)").arg(imagePath());
        return false;
    }
    if (!itemExists(QStringLiteral("/usr/bin/qemu-system-x86_64"))) {
        *whyNot = QStringLiteral("qemu-system-x86_64 is not installed");
        return false;
    }
    return true;
}

RuntimeConfig prepareRuntime(const QString &workspacePath, const QString &hostname)
{
    RuntimeConfig runtime = sampleRuntime(workspacePath);
    runtime.name = QStringLiteral("Testgast");
    runtime.memoryGB = 1;
    runtime.diskGB = 1;
    runtime.distro = QStringLiteral("debian-test");
    runtime.hostname = hostname;
    runtime.macAddress = QStringLiteral("52:54:00:12:34:56");
    runtime.createdAt = QDateTime::currentDateTimeUtc();
    runtime.updatedAt = runtime.createdAt;

    LinuxDiskManager disks;
    disks.ensureRuntimeDirectory(runtime.id);
    const QString folder = disks.runtimeDirectory(runtime.id);
    copyFileSparse(imagePath(), disks.runtimeDiskPath(runtime.id));
    disks.resizeRuntimeDisk(runtime);
    const QString key = LinuxSSHKeyManager().publicKey(runtime);
    LinuxCloudInitManager cloudInit;
    cloudInit.writeCloudInitFiles(runtime, folder, key, true);
    runSync(cloudInit.createSeedISO(folder));
    RuntimeStore().saveRuntimeConfig(runtime);
    return runtime;
}

QString serialLog(const RuntimeConfig &runtime, const QString &file)
{
    try {
        return QString::fromUtf8(readWholeFile(LinuxDiskManager().runtimeDirectory(runtime.id) + "/logs/" + file));
    } catch (const std::exception &) {
        return {};
    }
}

} // namespace trellium::test::TestGuest
