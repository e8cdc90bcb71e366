// Runtime image preparation by stage on the end-to-end Debian image: probe and
// download from a local mirror, conversion, and the template's boot,
// cloud-init, provisioning, cleanup, stop and copy.
//   bench_image_preparation [image.qcow2]   (default: $TRELLIUM_DEBIAN_GUEST)

#include "core/Async.h"
#include "core/Files.h"
#include "core/Log.h"
#include "runtime/linux/LinuxRuntimeProvider.h"

#include "support/HttpTestServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QTemporaryDir>

#include <cstdio>

using namespace trellium;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString image = argc > 1 ? QString::fromLocal8Bit(argv[1]) : qEnvironmentVariable("TRELLIUM_DEBIAN_GUEST");
    if (image.isEmpty() || !itemExists(image)) {
        std::fprintf(stderr, "usage: bench_image_preparation image.qcow2 (scripts/build-debian-guest builds one)\n");
        return 1;
    }
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));

    test::HttpTestServer mirror;
    mirror.route("/noble.img", test::HttpResponse::file(image));
    LinuxRuntimeProvider::Dependencies dependencies;
    const QString distro = QStringLiteral("ubuntu-24.04-amd64");
    dependencies.images.sources = {
        LinuxImageSource{distro, QStringLiteral("Ubuntu 24.04"), {mirror.url(QStringLiteral("/noble.img"))},
                         LinuxImageFormat::qcow2}};
    LinuxRuntimeProvider provider(RuntimeStore(), dependencies);

    // Milestones from the log, timed as they pass.
    QElapsedTimer clock;
    clock.start();
    QMutex mutex;
    QList<QPair<QString, double>> marks;
    const QStringList milestones{QStringLiteral("Runtime IP resolve attempt 1:"), QStringLiteral("Runtime IP found:"),
                                 QStringLiteral("Cloud-init ready"), QStringLiteral("Template provisioning ready"),
                                 QStringLiteral("TRELLIUM template provisioning is ready")};
    setLogSink([&](const QString &line) {
        for (const QString &milestone : milestones) {
            if (line.startsWith(milestone)) {
                QMutexLocker lock(&mutex);
                marks.append({milestone, clock.elapsed() / 1000.0});
            }
        }
    });
    auto onStatus = [&](RuntimeImageStatus status) {
        QMutexLocker lock(&mutex);
        marks.append({QStringLiteral("status ") + enumName(status) + QStringLiteral(" begins"), clock.elapsed() / 1000.0});
    };
    try {
        runSync(provider.imageManager().prepareRuntimeImage(distro, onStatus), std::chrono::minutes(60));
    } catch (const std::exception &error) {
        setLogSink({});
        std::fprintf(stderr, "preparation failed: %s\n", qPrintable(describeError(error)));
        return 1;
    }
    setLogSink({});
    marks.append({QStringLiteral("template stopped, copied, manifest written"), clock.elapsed() / 1000.0});

    std::printf("runtime image preparation of %s (%.0f MiB qcow2)\n", qPrintable(image), fileSize(image) / 1048576.0);
    double previous = 0;
    for (const auto &[name, at] : marks) {
        std::printf("  %-45s at %7.1f s  (+%6.1f s)\n", qPrintable(name), at, at - previous);
        previous = at;
    }
    return 0;
}
