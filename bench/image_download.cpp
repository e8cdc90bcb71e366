// Image download: our streamed download against `curl -o` from the same local
// HTTP server, and the agent's peak memory growth per GiB downloaded.
//   bench_image_download [GiB] [folder]   (default: 2 GiB in the temporary folder)

#include "core/Async.h"
#include "core/Files.h"
#include "core/Process.h"
#include "runtime/images/LinuxImageDownloadDelegate.h"

#include "support/HttpTestServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

using namespace trellium;

namespace {

// Resident and peak resident set of this process, in KiB.
int64_t statusField(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(qsizetype(strlen(name))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int64_t gib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 2;
    QTemporaryDir dir(argc > 2 ? QString::fromLocal8Bit(argv[2]) + QStringLiteral("/bench-XXXXXX") : QString());
    if (!dir.isValid() || gib <= 0) {
        std::fprintf(stderr, "usage: bench_image_download [GiB] [folder]\n");
        return 1;
    }
    // Random bytes at the front, then a repeated random block: the server
    // reads from the page cache, both clients write every byte.
    const QString image = dir.filePath(QStringLiteral("image.qcow2"));
    {
        QFile file(image);
        file.open(QIODevice::WriteOnly);
        QByteArray block(16 << 20, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        for (int64_t written = 0; written < (gib << 30); written += block.size())
            file.write(block);
    }
    const int64_t size = fileSize(image);
    test::HttpTestServer server;
    server.route("/image.qcow2", test::HttpResponse::file(image));
    const QUrl url = server.url(QStringLiteral("/image.qcow2"));

    auto seconds = [](const QElapsedTimer &clock) { return double(clock.nsecsElapsed()) / 1e9; };
    const QString curlTarget = dir.filePath(QStringLiteral("curl.img"));
    const QString ourTarget = dir.filePath(QStringLiteral("agent.img"));
    double curlTime = 0;
    double ourTime = 0;
    int64_t growthKiB = 0;
    for (int round = 0; round < 2; ++round) {
        QElapsedTimer clock;
        clock.start();
        ProcessOptions options;
        options.timeout = std::chrono::minutes(30);
        const auto curl = runProcessBlocking(QStringLiteral("/usr/bin/curl"),
                                             {QStringLiteral("-s"), QStringLiteral("-o"), curlTarget, url.toString()},
                                             options);
        const double curlRound = seconds(clock);
        if (curl.exitCode != 0 || fileSize(curlTarget) != size) {
            std::fprintf(stderr, "curl failed (%d)\n", curl.exitCode);
            return 1;
        }
        removeItem(curlTarget);

        const int64_t before = statusField("VmRSS:");
        resetPeak();
        clock.restart();
        QNetworkAccessManager network;
        LinuxImageDownloadDelegate delegate(ourTarget, {});
        runSync(delegate.download(&network, url, {}), std::chrono::minutes(30));
        const double ourRound = seconds(clock);
        const int64_t peak = statusField("VmHWM:");
        if (fileSize(ourTarget) != size) {
            std::fprintf(stderr, "download incomplete\n");
            return 1;
        }
        removeItem(ourTarget);
        // The better of two rounds each: the first warms the page cache.
        curlTime = round == 0 ? curlRound : std::min(curlTime, curlRound);
        ourTime = round == 0 ? ourRound : std::min(ourTime, ourRound);
        growthKiB = std::max(growthKiB, peak - before);
    }
    const double mib = double(size) / (1 << 20);
    std::printf("image download of %.0f MiB from a local HTTP server\n", mib);
    std::printf("  curl -o:        %7.2f s  %8.1f MiB/s\n", curlTime, mib / curlTime);
    std::printf("  agent:          %7.2f s  %8.1f MiB/s\n", ourTime, mib / ourTime);
    std::printf("  throughput ratio agent/curl: %.2f (target >= 0.9)\n", curlTime / ourTime);
    std::printf("  peak RSS growth: %.1f MiB, %.1f MiB per GiB (target <= 16)\n", growthKiB / 1024.0,
                growthKiB / 1024.0 / (double(size) / (int64_t(1) << 30)));
    return 0;
}
