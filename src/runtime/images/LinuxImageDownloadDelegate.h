#pragma once

#include <qcoro/qcorotask.h>

#include <QString>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace trellium {

// One image download through the streamed download: the body goes to a
// hidden file beside the destination that is renamed into place when
// complete, never whole into memory, and progress is reported throttled. A
// status other than 2xx, a stall longer than the idle time-out, a body shorter
// than announced or a transfer longer than the total limit fails the download
// and leaves no file behind.
class LinuxImageDownloadDelegate {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // (bytes written so far, bytes expected in total; negative when unknown)
    using Progress = std::function<void(int64_t written, int64_t expected)>;

    struct Limits {
        std::chrono::milliseconds idle{90'000};
        std::chrono::milliseconds total{1'800'000};
        // The size the server announced when probed: a body running on past
        // it is cut there instead of filling the disk.
        std::optional<int64_t> maximumBytes;
        // Without a probe's size nothing could tell a body cut short from a
        // whole one unless the answer itself delimits it (a length, chunks):
        // it must, and its size is bounded by this.
        int64_t unprobedMaximumBytes = int64_t(16) << 30;
    };

    static constexpr std::chrono::milliseconds kProgressTimeStep{750};
    static constexpr int64_t kProgressByteStep = 8 * 1024 * 1024;

    LinuxImageDownloadDelegate(QString destination, Progress progress, Clock clock = {});

    // Decides whether this progress is reported, and reports it: when the
    // transfer is complete, 0.75 s after the last report, or 8 MiB after it.
    void bytesWritten(int64_t written, int64_t expected);

    QCoro::Task<void> download(QNetworkAccessManager *network, QUrl url, Limits limits);

private:
    QString m_destination;
    Progress m_progress;
    Clock m_clock;
    std::optional<std::chrono::steady_clock::time_point> m_lastProgressUpdate;  // none: never reported
    int64_t m_lastReportedBytes = 0;
};

} // namespace trellium
