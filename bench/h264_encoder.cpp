// Remote desktop H.264: per-frame time of conversion + encoding (picture handed
// over until its frame is queued) and the frame rate sustained, for a moving
// desktop-like picture; next to ffmpeg's libx264 with the same settings on the
// same pictures (raw BGRA read from a file), when /usr/bin/ffmpeg is there.
//   bench_h264_encoder [frames]   (default 300)

#include "core/Process.h"
#include "remotedesktop/RemoteDesktopH264Encoder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace trellium;

namespace {

constexpr int kFps = 30;
constexpr int kDistinctPictures = 60;
const QString kFfmpeg = QStringLiteral("/usr/bin/ffmpeg");

struct Case {
    const char *name;
    QSize picture;
    QSize stream;
    int64_t bitrate;
};

// Drifting gradient, scrolling text lines and a moving block: every frame
// changes everywhere, as when a window is dragged over a busy desktop.
QImage movingPicture(int n, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, size.width(), size.height());
    gradient.setColorAt(0, QColor::fromHsv((n * 2) % 360, 180, 230));
    gradient.setColorAt(1, QColor::fromHsv((n * 2 + 180) % 360, 180, 80));
    painter.fillRect(image.rect(), gradient);
    QFont font = painter.font();
    font.setPixelSize(16);
    painter.setFont(font);
    for (int line = 0; line * 20 < size.height(); ++line) {
        painter.setPen(line % 2 ? Qt::white : Qt::black);
        painter.drawText(10 + (n * 3 + line * 37) % 200, line * 20 + 16,
                         QStringLiteral("Zeile %1 · Bild %2 · %3").arg(line).arg(n).arg(quint64(n) * 7919 + line * 104729));
    }
    painter.fillRect(QRect((n * 12) % (size.width() - 160), size.height() / 3, 160, 120), QColor(220, 40, 40));
    return image;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

struct Result {
    double medianMs = 0;
    double p95Ms = 0;
    double sustainedFps = 0;
    double megabits = 0;
};

Result runOurs(const Case &c, const std::vector<PixelBuffer> &pictures, int frames)
{
    RemoteDesktopH264Encoder encoder(c.stream.width(), c.stream.height(), kFps, c.bitrate);
    if (!encoder.hasSession())
        return {};
    qint64 bytes = 0;
    int delivered = 0;
    encoder.setOnEncodedFrame([&](QByteArray frame, bool, std::optional<QByteArray>, std::optional<QByteArray>) {
        bytes += frame.size();
        ++delivered;
    });
    // Warm-up: x264's first frames (IDR, rate control settling) are not typical.
    for (int n = 0; n < 10; ++n) {
        encoder.encode(pictures[size_t(n) % pictures.size()]);
        encoder.completeFrames();
    }
    QCoreApplication::processEvents();
    bytes = 0;
    delivered = 0;

    std::vector<double> times;
    QElapsedTimer wall;
    wall.start();
    for (int n = 0; n < frames; ++n) {
        QElapsedTimer clock;
        clock.start();
        encoder.encode(pictures[size_t(n) % pictures.size()]);
        encoder.completeFrames();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        // Delivery on the main thread belongs to the sustained rate.
        QCoreApplication::processEvents();
    }
    encoder.invalidate();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;

    Result result;
    result.medianMs = percentile(times, 0.5);
    result.p95Ms = percentile(times, 0.95);
    result.sustainedFps = delivered / seconds;
    result.megabits = double(bytes) * 8 / (double(delivered) / kFps) / 1e6;
    return result;
}

// ffmpeg's own transcoding time (-benchmark rtime) for the same pictures; 0 when unavailable.
double runFfmpegFps(const Case &c, const std::vector<PixelBuffer> &pictures, int frames, const QString &folder)
{
    if (!QFile::exists(kFfmpeg))
        return 0;
    const QString raw = QDir(folder).filePath(QStringLiteral("pictures.bgra"));
    {
        QFile file(raw);
        if (!file.open(QIODevice::WriteOnly))
            return 0;
        for (const PixelBuffer &picture : pictures) {
            for (int y = 0; y < picture.height; ++y)
                file.write(reinterpret_cast<const char *>(picture.row(y)), qint64(picture.width) * 4);
        }
    }
    const int loops = (frames + int(pictures.size()) - 1) / int(pictures.size());
    const QString bitrate = QString::number(c.bitrate);
    QStringList arguments = {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"), QStringLiteral("-benchmark"),
                             QStringLiteral("-f"), QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"),
                             QStringLiteral("bgra"), QStringLiteral("-video_size"),
                             QStringLiteral("%1x%2").arg(c.picture.width()).arg(c.picture.height()),
                             QStringLiteral("-framerate"), QString::number(kFps), QStringLiteral("-stream_loop"),
                             QString::number(loops - 1), QStringLiteral("-i"), raw, QStringLiteral("-frames:v"),
                             QString::number(frames)};
    if (c.picture != c.stream) {
        arguments << QStringLiteral("-vf")
                  << QStringLiteral("scale=%1:%2:flags=bilinear").arg(c.stream.width()).arg(c.stream.height());
    }
    arguments << QStringLiteral("-pix_fmt") << QStringLiteral("yuv420p") << QStringLiteral("-c:v")
              << QStringLiteral("libx264") << QStringLiteral("-preset")
              << QStringLiteral("superfast") << QStringLiteral("-tune") << QStringLiteral("zerolatency")
              << QStringLiteral("-profile:v") << QStringLiteral("main") << QStringLiteral("-bf") << QStringLiteral("0")
              << QStringLiteral("-g") << QString::number(kFps) << QStringLiteral("-b:v") << bitrate
              << QStringLiteral("-maxrate") << bitrate << QStringLiteral("-bufsize") << bitrate
              << QStringLiteral("-threads") << QStringLiteral("2") << QStringLiteral("-f") << QStringLiteral("null")
              << QStringLiteral("-");
    ProcessOptions options;
    options.timeout = std::chrono::minutes(5);
    const ProcessResult result = runProcessBlocking(kFfmpeg, arguments, options);
    QFile::remove(raw);
    const auto match = QRegularExpression(QStringLiteral("rtime=([0-9.]+)s")).match(QString::fromUtf8(result.standardError));
    if (!result.succeeded() || !match.hasMatch())
        return 0;
    const double seconds = match.captured(1).toDouble();
    return seconds > 0 ? frames / seconds : 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int frames = argc > 1 ? std::max(30, atoi(argv[1])) : 300;
    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }

    const std::vector<Case> cases = {
        {"1600x1120", QSize(1600, 1120), QSize(1600, 1120), 6'000'000},
        {"1200x840", QSize(1200, 840), QSize(1200, 840), 4'000'000},
        {"1600x1120 -> 1200x840", QSize(1600, 1120), QSize(1200, 840), 4'000'000},
    };
    std::printf("%d frames at %d fps per case, pictures handed over one at a time\n", frames, kFps);
    std::printf("%-22s %10s %8s %14s %8s %12s %7s\n", "case", "median ms", "p95 ms", "sustained fps", "Mbit/s",
                "ffmpeg fps", "ratio");
    for (const Case &c : cases) {
        std::vector<PixelBuffer> pictures;
        for (int n = 0; n < kDistinctPictures; ++n) {
            pictures.push_back(RemoteDesktopH264Encoder::makePixelBuffer(movingPicture(n, c.picture), c.picture.width(),
                                                                         c.picture.height()));
        }
        const Result ours = runOurs(c, pictures, frames);
        if (ours.sustainedFps == 0) {
            std::printf("%-22s encoder could not be opened\n", c.name);
            continue;
        }
        const double ffmpegFps = runFfmpegFps(c, pictures, frames, folder.path());
        std::printf("%-22s %10.2f %8.2f %14.1f %8.2f", c.name, ours.medianMs, ours.p95Ms, ours.sustainedFps,
                    ours.megabits);
        if (ffmpegFps > 0)
            std::printf(" %12.1f %7.2f\n", ffmpegFps, ours.sustainedFps / ffmpegFps);
        else
            std::printf(" %12s %7s\n", "-", "-");
    }
    return 0;
}
