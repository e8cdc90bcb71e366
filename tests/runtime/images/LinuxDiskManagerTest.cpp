#include "core/Errors.h"
#include "core/Files.h"
#include "runtime/images/LinuxDiskManager.h"

#include "support/FileSizeLimit.h"
#include "support/Samples.h"
#include "support/TestEnvironment.h"

#include <QFile>

using namespace trellium;

namespace {

class LinuxDiskManagerTest : public test::DataHomeTest {
protected:
    LinuxDiskManager disks;
};

} // namespace

TEST_F(LinuxDiskManagerTest, CreatesSparseDisksOnceWhateverTheSizeLaterUnderUpperCaseIds)
{
    const QUuid id = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
    EXPECT_EQ(disks.baseImagesDirectory(), applicationSupportRoot() + "/BaseImages");
    EXPECT_EQ(disks.runtimeDiskPath(id),
              applicationSupportRoot() + "/Runtimes/E621E1F8-C36C-495A-93FC-0C247A3E6E5F/disk.img");
    disks.ensureLogsDirectory(id);  // on a fresh system
    EXPECT_TRUE(isDirectory(disks.runtimeDirectory(id) + "/logs"));

    RuntimeConfig config = test::sampleRuntime();
    config.diskGB = 30;
    disks.createRuntimeDisk(config);
    const QString path = disks.runtimeDiskPath(config.id);
    EXPECT_EQ(fileSize(path), int64_t(30) << 30);
    EXPECT_LT(allocatedBytes(path), int64_t(1) << 20);
    EXPECT_TRUE(isDirectory(disks.baseImagesDirectory()));

    config.diskGB = 40;
    disks.createRuntimeDisk(config);
    EXPECT_EQ(fileSize(path), int64_t(30) << 30);

    RuntimeConfig empty = test::sampleRuntime();
    empty.diskGB = 0;
    disks.createRuntimeDisk(empty);
    EXPECT_EQ(fileSize(disks.runtimeDiskPath(empty.id)), 0);

    RuntimeConfig tooLarge = test::sampleRuntime();
    tooLarge.diskGB = int64_t(1) << 33;
    EXPECT_THROW(disks.createRuntimeDisk(tooLarge), DomainError);
    EXPECT_FALSE(disks.runtimeDiskExists(tooLarge.id));

    // A disk whose size cannot be set (a full or restricted file system) is
    // not left behind, so the next attempt really creates it.
    RuntimeConfig limited = test::sampleRuntime();
    limited.diskGB = 1;
    {
        test::FileSizeLimit limit(1 << 20);
        EXPECT_THROW(disks.createRuntimeDisk(limited), FileError);
    }
    EXPECT_FALSE(disks.runtimeDiskExists(limited.id));
    disks.createRuntimeDisk(limited);
    EXPECT_EQ(fileSize(disks.runtimeDiskPath(limited.id)), int64_t(1) << 30);
}

TEST_F(LinuxDiskManagerTest, GrowsKeepingDataNeverShrinksAndLogsOnlyGrowth)
{
    RuntimeConfig config = test::sampleRuntime();
    // A missing disk is named, not created.
    EXPECT_EQ(test::errorOf([&] { disks.resizeRuntimeDisk(config); }),
              "Runtime-Disk fehlt: " + disks.runtimeDiskPath(config.id));
    EXPECT_FALSE(disks.runtimeDiskExists(config.id));
    config.diskGB = 1;
    disks.createRuntimeDisk(config);
    const QString path = disks.runtimeDiskPath(config.id);
    {
        QFile disk(path);
        ASSERT_TRUE(disk.open(QIODevice::ReadWrite));
        disk.write("boot sector");
        disk.seek((int64_t(1) << 30) - 4);
        disk.write("tail");
    }

    test::LogCapture log;
    config.diskGB = 3;
    disks.resizeRuntimeDisk(config);
    EXPECT_EQ(fileSize(path), int64_t(3) << 30);
    EXPECT_EQ(log.lines(), (QStringList{"Runtime disk resized:", "Current: 1073741824", "Target: 3221225472"}));
    QFile disk(path);
    ASSERT_TRUE(disk.open(QIODevice::ReadOnly));
    EXPECT_EQ(disk.read(11), "boot sector");
    disk.seek((int64_t(1) << 30) - 4);
    EXPECT_EQ(disk.read(4), "tail");

    config.diskGB = 2;
    disks.resizeRuntimeDisk(config);
    config.diskGB = 0;
    disks.resizeRuntimeDisk(config);
    EXPECT_EQ(fileSize(path), int64_t(3) << 30);
    EXPECT_EQ(log.lines().size(), 3);
}

