#include "core/Errors.h"
#include "core/Files.h"

#include "support/FileSizeLimit.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace trellium;

namespace {

void writeAt(const QString &path, int64_t offset, const QByteArray &bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.constData(), size_t(bytes.size()), offset), bytes.size());
    ::close(fd);
}

} // namespace

TEST(SparseCopy, KeepsHolesAndEveryByte)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.img"));
    const QString target = dir.filePath(QStringLiteral("target.img"));
    const int64_t size = int64_t(2) << 30;  // 2 GiB, almost all hole
    const QByteArray first = test::randomBytes(1 << 20);
    const QByteArray middle = test::randomBytes(64 << 10);
    const QByteArray last = test::randomBytes(4096);
    writeAt(source, 0, first);
    writeAt(source, int64_t(700) << 20, middle);
    writeAt(source, size - last.size(), last);

    copyFileSparse(source, target);

    EXPECT_EQ(fileSize(target), size);
    // Holes stay holes: far less than the logical size is allocated.
    EXPECT_LT(allocatedBytes(target), int64_t(64) << 20);
    QFile copy(target);
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.read(first.size()), first);
    ASSERT_TRUE(copy.seek((int64_t(700) << 20) - 4096));
    const QByteArray aroundMiddle = copy.read(4096 + middle.size() + 4096);
    EXPECT_EQ(aroundMiddle.mid(0, 4096), QByteArray(4096, '\0'));
    EXPECT_EQ(aroundMiddle.mid(4096, middle.size()), middle);
    EXPECT_EQ(aroundMiddle.mid(4096 + middle.size()), QByteArray(4096, '\0'));
    ASSERT_TRUE(copy.seek(size - last.size()));
    EXPECT_EQ(copy.readAll(), last);
}

TEST(SparseCopy, FailuresLeaveTheTargetAloneAndNoHiddenTemporaryFile)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("target.img"));
    writeAt(target, 0, "old disk");
    EXPECT_THROW(copyFileSparse(dir.filePath(QStringLiteral("missing.img")), target), FileError);
    EXPECT_EQ(readWholeFile(target), "old disk");

    // The data no longer fits once the copy has begun.
    const QString source = dir.filePath(QStringLiteral("source.img"));
    writeAt(source, 0, test::randomBytes(64 << 10));
    {
        test::FileSizeLimit limit(4096);
        EXPECT_THROW(copyFileSparse(source, target), FileError);
    }
    EXPECT_EQ(readWholeFile(target), "old disk");
    // The copy is complete but cannot take the target's place.
    const QString occupied = dir.filePath(QStringLiteral("occupied"));
    createDirectories(occupied + QStringLiteral("/inside"));
    EXPECT_THROW(copyFileSparse(source, occupied), FileError);

    EXPECT_EQ(listDirectory(dir.path()),
              (QStringList{QStringLiteral("occupied"), QStringLiteral("source.img"), QStringLiteral("target.img")}));
}

TEST(AtomicWrite, ReplacesTheFileInsteadOfRewritingItAndKeepsItWhenTheNewOneDoesNotFit)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("record.json"));
    writeFileAtomically(path, "first");
    ::chmod(QFile::encodeName(path).constData(), 0600);
    // A second name for the old file, and a reader that opened it: both must
    // keep seeing the old content, which only a rename guarantees.
    const QString oldName = dir.filePath(QStringLiteral("old-link"));
    ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(oldName).constData()), 0);
    QFile reader(path);
    ASSERT_TRUE(reader.open(QIODevice::ReadOnly));

    writeFileAtomically(path, "second, longer");
    EXPECT_EQ(readWholeFile(path), "second, longer");
    EXPECT_EQ(readWholeFile(oldName), "first");
    EXPECT_EQ(reader.readAll(), "first");
    EXPECT_EQ(QFile::permissions(path) & (QFile::ReadOther | QFile::ReadGroup), 0);

    EXPECT_THROW(writeFileAtomically(dir.filePath(QStringLiteral("no/such/folder/x")), "x"), FileError);
    EXPECT_THROW(readWholeFile(dir.filePath(QStringLiteral("absent"))), FileError);

    // A write that does not fit fails and keeps the old file.
    removeItem(oldName);
    for (const rlim_t limit : {rlim_t(0), rlim_t(4)}) {
        test::FileSizeLimit lowered(limit);
        EXPECT_THROW(writeFileAtomically(path, QByteArray(100, 'n')), FileError) << limit;
    }
    EXPECT_EQ(readWholeFile(path), "second, longer");
    EXPECT_EQ(listDirectory(dir.path()), QStringList{QStringLiteral("record.json")});

    // The same for a file that did not exist before: nothing is left.
    {
        test::FileSizeLimit lowered(4);
        EXPECT_THROW(createFileExclusively(dir.filePath(QStringLiteral("new")), QByteArray(100, 'n')), FileError);
    }
    EXPECT_EQ(listDirectory(dir.path()), QStringList{QStringLiteral("record.json")});

    // An exclusive create never overwrites.
    EXPECT_THROW(createFileExclusively(path, "other"), FileError);
    EXPECT_EQ(readWholeFile(path), "second, longer");
}

TEST(RegularFileTail, ReadsOnlyTheEndOfPlainFiles)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("report.txt"));
    writeAt(file, 0, QByteArray(100000, 'a') + "the end");
    EXPECT_EQ(readRegularFileTail(file, 7), "the end");
    EXPECT_EQ(readRegularFileTail(file, 1 << 20).size(), 100007);

    // Another party's links, pipes and folders are not followed or waited on.
    const QString secret = dir.filePath(QStringLiteral("secret"));
    writeAt(secret, 0, "host secret");
    const QString link = dir.filePath(QStringLiteral("link"));
    ASSERT_TRUE(QFile::link(secret, link));
    EXPECT_THROW(readRegularFileTail(link, 100), FileError);
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_THROW(readRegularFileTail(fifo, 100), FileError);
    EXPECT_THROW(readRegularFileTail(dir.path(), 100), FileError);
    EXPECT_THROW(readRegularFileTail(dir.filePath(QStringLiteral("absent")), 100), FileError);
}
