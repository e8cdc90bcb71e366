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

TEST_F(LinuxDiskManagerTest, FoldersLieUnderTheAgentRootNamedByUpperCaseIds)
{
    const QUuid id = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
    EXPECT_EQ(disks.baseImagesDirectory(), applicationSupportRoot() + "/BaseImages");
    EXPECT_EQ(disks.runtimeDiskPath(id),
              applicationSupportRoot() + "/Runtimes/E621E1F8-C36C-495A-93FC-0C247A3E6E5F/disk.img");
    disks.ensureLogsDirectory(id);  // on a fresh system
    EXPECT_TRUE(isDirectory(disks.runtimeDirectory(id) + "/logs"));
}

TEST_F(LinuxDiskManagerTest, CreatesSparseDisksOnceWhateverTheSizeLater)
{
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
}

TEST_F(LinuxDiskManagerTest, GrowsKeepingDataNeverShrinksAndLogsOnlyGrowth)
{
    RuntimeConfig config = test::sampleRuntime();
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

TEST_F(LinuxDiskManagerTest, ResizingAMissingDiskNamesItsPathAndCreatesNothing)
{
    const RuntimeConfig config = test::sampleRuntime();
    EXPECT_EQ(test::errorOf([&] { disks.resizeRuntimeDisk(config); }),
              "Runtime-Disk fehlt: " + disks.runtimeDiskPath(config.id));
    EXPECT_FALSE(disks.runtimeDiskExists(config.id));
}

TEST_F(LinuxDiskManagerTest, ADiskWhoseSizeCannotBeSetIsNotLeftBehind)
{
    RuntimeConfig config = test::sampleRuntime();
    config.diskGB = 1;
    {
        // The truncation fails the way a full or restricted file system would.
        test::FileSizeLimit limit(1 << 20);
        EXPECT_THROW(disks.createRuntimeDisk(config), FileError);
    }
    EXPECT_FALSE(disks.runtimeDiskExists(config.id));

    // So the next attempt really creates the disk.
    disks.createRuntimeDisk(config);
    EXPECT_EQ(fileSize(disks.runtimeDiskPath(config.id)), int64_t(1) << 30);
}
