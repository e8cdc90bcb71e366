// Base-image copy: our sparse copy against `cp --sparse=always --reflink=auto`
// on a sparse 8 GiB image with 256 MiB of scattered data.
//   bench_disk_copy [folder]   (default: the system's temporary folder)

#include "core/Files.h"
#include "core/Process.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace trellium;

namespace {

constexpr int64_t kImageSize = int64_t(8) << 30;
constexpr int kChunks = 256;
constexpr int64_t kChunkSize = int64_t(1) << 20;

bool makeImage(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, kImageSize) != 0)
        return false;
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    auto *generator = QRandomGenerator::global();
    const int64_t slotCount = kImageSize / kChunkSize;
    for (int i = 0; i < kChunks; ++i) {
        generator->fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        // Spread the chunks evenly with some jitter, so data and holes alternate.
        const int64_t slot = int64_t(i) * slotCount / kChunks + generator->bounded(int(slotCount / kChunks));
        if (::pwrite(fd, chunk.constData(), size_t(chunk.size()), slot * kChunkSize) != chunk.size())
            return false;
    }
    ::fsync(fd);
    ::close(fd);
    return true;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString parent = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir dir(parent + QStringLiteral("/disk-copy-bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a folder in %s\n", qPrintable(parent));
        return 1;
    }
    const QString source = dir.filePath(QStringLiteral("source.img"));
    if (!makeImage(source)) {
        std::fprintf(stderr, "cannot write the test image\n");
        return 1;
    }
    const QString ours = dir.filePath(QStringLiteral("ours.img"));
    const QString theirs = dir.filePath(QStringLiteral("cp.img"));

    std::vector<double> oursTimes, cpTimes;
    for (int round = 0; round < 5; ++round) {
        removeItem(ours);
        removeItem(theirs);
        QElapsedTimer clock;
        clock.start();
        copyFileSparse(source, ours);
        oursTimes.push_back(clock.nsecsElapsed() / 1e6);

        clock.restart();
        const ProcessResult cp = runProcessBlocking(
            QStringLiteral("/bin/cp"), {QStringLiteral("--sparse=always"), QStringLiteral("--reflink=auto"), source, theirs});
        cpTimes.push_back(clock.nsecsElapsed() / 1e6);
        if (!cp.succeeded()) {
            std::fprintf(stderr, "cp failed: %s\n", cp.standardError.constData());
            return 1;
        }
    }

    const double oursMs = median(oursTimes);
    const double cpMs = median(cpTimes);
    std::printf("image:      %lld MiB logical, %lld MiB data in %d chunks\n", (long long)(kImageSize >> 20),
                (long long)(kChunks * kChunkSize >> 20), kChunks);
    std::printf("ours:       %.1f ms (median of %zu), %lld MiB allocated\n", oursMs, oursTimes.size(),
                (long long)(allocatedBytes(ours) >> 20));
    std::printf("cp:         %.1f ms (median of %zu), %lld MiB allocated\n", cpMs, cpTimes.size(),
                (long long)(allocatedBytes(theirs) >> 20));
    std::printf("ratio:      %.2f (target <= 1.2)\n", oursMs / cpMs);
    const ProcessResult same = runProcessBlocking(QStringLiteral("/usr/bin/cmp"), {QStringLiteral("-s"), ours, theirs});
    std::printf("identical:  %s\n", same.succeeded() ? "yes" : "NO");
    return 0;
}
