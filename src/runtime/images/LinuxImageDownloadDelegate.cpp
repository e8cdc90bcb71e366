#include "runtime/images/LinuxImageDownloadDelegate.h"

#include "core/Download.h"

#include <QNetworkRequest>

namespace trellium {

namespace {

DomainError downloadError(int code, const QString &text)
{
    return DomainError(QStringLiteral("LinuxImageManager"), code, text);
}

} // namespace

LinuxImageDownloadDelegate::LinuxImageDownloadDelegate(QString destination, Progress progress, Clock clock)
    : m_destination(std::move(destination)), m_progress(std::move(progress)), m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] { return std::chrono::steady_clock::now(); };
}

void LinuxImageDownloadDelegate::bytesWritten(int64_t written, int64_t expected)
{
    const auto now = m_clock();
    const bool complete = expected >= 1 && written >= expected;
    const bool timeDue = !m_lastProgressUpdate || now - *m_lastProgressUpdate >= kProgressTimeStep;
    const bool bytesDue = written - m_lastReportedBytes >= kProgressByteStep;
    if (!complete && !timeDue && !bytesDue)
        return;
    m_lastProgressUpdate = now;
    m_lastReportedBytes = written;
    if (m_progress)
        m_progress(written, expected);
}

QCoro::Task<void> LinuxImageDownloadDelegate::download(QNetworkAccessManager *network, QUrl url, Limits limits)
{
    DownloadOptions options;
    options.idleTimeout = limits.idle;
    options.totalTimeout = limits.total;
    options.maximumBytes = limits.maximumBytes.value_or(limits.unprobedMaximumBytes);
    options.requireVerifiableEnd = !limits.maximumBytes;
    options.onProgress = [this](qint64 received, qint64 expected) { bytesWritten(received, expected); };
    const DownloadResult result = co_await downloadToFile(network, QNetworkRequest(url), m_destination, options);
    if (result.status < 200 || result.status > 299)
        throw downloadError(7, QStringLiteral("Der Server antwortete mit HTTP-Status %1.").arg(result.status));
}

} // namespace trellium
