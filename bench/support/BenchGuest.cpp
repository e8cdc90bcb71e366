#include "support/BenchGuest.h"

#include "core/Async.h"
#include "core/Files.h"
#include "runtime/images/LinuxCloudInitManager.h"
#include "runtime/images/LinuxDiskManager.h"
#include "runtime/linux/LinuxSSHKeyManager.h"

namespace trellium::bench {

RuntimeConfig prepareGuestRuntime(const QString &image, const QString &workspacePath)
{
    RuntimeConfig runtime;
    runtime.id = QUuid::createUuid();
    runtime.name = QStringLiteral("Bench");
    runtime.cpuCount = 2;
    runtime.memoryGB = 1;
    runtime.diskGB = 1;
    runtime.workspacePath = workspacePath;
    runtime.mountName = QStringLiteral("workspace");
    runtime.distro = QStringLiteral("debian-test");
    runtime.hostname = QStringLiteral("benchguest");
    runtime.username = QStringLiteral("trellium");
    runtime.macAddress = QStringLiteral("52:54:00:12:34:56");
    runtime.createdAt = runtime.updatedAt = QDateTime::currentDateTimeUtc();
    LinuxDiskManager disks;
    disks.ensureRuntimeDirectory(runtime.id);
    const QString folder = disks.runtimeDirectory(runtime.id);
    copyFileSparse(image, disks.runtimeDiskPath(runtime.id));
    LinuxCloudInitManager cloudInit;
    cloudInit.writeCloudInitFiles(runtime, folder, LinuxSSHKeyManager().publicKey(runtime), true);
    runSync(cloudInit.createSeedISO(folder));
    return runtime;
}

} // namespace trellium::bench
