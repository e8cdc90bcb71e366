#include "core/Errors.h"
#include "core/Files.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <fcntl.h>
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

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

TEST(SparseCopy, KeepsHolesAndEveryByte)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.img"));
    const QString target = dir.filePath(QStringLiteral("target.img"));
    const int64_t size = int64_t(2) << 30;  // 2 GiB, almost all hole
    const QByteArray first = randomBytes(1 << 20);
    const QByteArray middle = randomBytes(64 << 10);
    const QByteArray last = randomBytes(4096);
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

TEST(SparseCopy, FailedCopyLeavesTheTargetAlone)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("target.img"));
    writeAt(target, 0, "old disk");
    EXPECT_THROW(copyFileSparse(dir.filePath(QStringLiteral("missing.img")), target), FileError);
    EXPECT_EQ(readWholeFile(target), "old disk");
    // No temporary leftovers either.
    EXPECT_EQ(listDirectory(dir.path()), QStringList{QStringLiteral("target.img")});
}

TEST(AtomicWrite, ReplacesWholeFilesAndReportsFailures)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("record.json"));
    writeFileAtomically(path, "first");
    writeFileAtomically(path, "second");
    EXPECT_EQ(readWholeFile(path), "second");
    EXPECT_THROW(writeFileAtomically(dir.filePath(QStringLiteral("no/such/folder/x")), "x"), FileError);
    EXPECT_THROW(readWholeFile(dir.filePath(QStringLiteral("absent"))), FileError);
}

TEST(ExclusiveCreate, NeverOverwrites)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("store"));
    createFileExclusively(path, "template");
    EXPECT_THROW(createFileExclusively(path, "other"), FileError);
    EXPECT_EQ(readWholeFile(path), "template");
}

TEST(Directories, CreateNestedAndRefuseFilesInTheWay)
{
    QTemporaryDir dir;
    createDirectories(dir.filePath(QStringLiteral("a/b/c")));
    createDirectories(dir.filePath(QStringLiteral("a/b/c")));
    EXPECT_TRUE(isDirectory(dir.filePath(QStringLiteral("a/b/c"))));
    writeAt(dir.filePath(QStringLiteral("file")), 0, "x");
    EXPECT_THROW(createDirectories(dir.filePath(QStringLiteral("file/sub"))), FileError);
    removeItem(dir.filePath(QStringLiteral("a")));
    EXPECT_FALSE(itemExists(dir.filePath(QStringLiteral("a"))));
    removeItem(dir.filePath(QStringLiteral("a")));  // nothing there is fine
}
