#include "core/Download.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRandomGenerator>
#include <QScopeGuard>

#include <cstdio>

namespace trellium {

namespace {

constexpr qint64 kReadBufferBytes = 1024 * 1024;
constexpr int kMaximumRedirects = 10;

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

} // namespace

DownloadError::DownloadError(Reason reason, QUrl url, QString detail)
    : m_reason(reason), m_url(std::move(url)), m_detail(std::move(detail))
{
}

QString DownloadError::localizedDescription() const
{
    const QString where = m_url.toString(QUrl::RemoveUserInfo);
    switch (m_reason) {
    case Reason::stalled:
        return QStringLiteral("Der Download von %1 wurde abgebrochen, weil der Server %2 lang keine Daten gesendet hat.")
            .arg(where, m_detail);
    case Reason::truncated:
        return QStringLiteral("Der Download von %1 ist unvollständig (%2).").arg(where, m_detail);
    case Reason::transport:
        break;
    }
    return QStringLiteral("Der Download von %1 ist fehlgeschlagen: %2").arg(where, m_detail);
}

namespace {

struct Answer {
    int status = 0;
    qint64 bytes = 0;
    QUrl url;
    QUrl location;  // of a redirect
};

// One request, no redirects followed. A 2xx body is appended to `file`.
QCoro::Task<Answer> fetchOnce(QNetworkAccessManager *network, QNetworkRequest request, QFile *file,
                              DownloadOptions options)
{
    const QUrl requested = request.url();
    QPointer<QNetworkReply> guarded(network->get(request));
    QNetworkReply *reply = guarded;
    // Released on every way out; a reply still running is stopped.
    const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> release(reply, [](QNetworkReply *r) {
        r->disconnect();
        if (!r->isFinished())
            r->abort();
        r->deleteLater();
    });
    reply->setReadBufferSize(kReadBufferBytes);

    struct Progress {
        qint64 bytes = 0;
        qint64 expected = -1;
        bool rejected = false;
        qint64 discarded = 0;
        bool stalled = false;
        std::optional<FileError> writeError;
    } progress;
    Completion<void> finished;
    QTimer idle;
    idle.setSingleShot(true);
    idle.setInterval(options.idleTimeout);

    auto status = [reply]() { return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(); };
    auto drain = [&]() {
        if (!progress.rejected && !isSuccess(status()))
            progress.rejected = true;
        if (progress.rejected || progress.writeError || progress.stalled) {
            // An error page or a redirect's body is read to its end (Qt
            // reports the status as an error of its own then), unless long.
            progress.discarded += reply->readAll().size();
            if (progress.rejected && progress.discarded > kReadBufferBytes)
                reply->abort();
            return;
        }
        while (reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(kReadBufferBytes);
            if (file->write(chunk) != chunk.size()) {
                progress.writeError = FileError(QStringLiteral("Schreiben"), file->fileName(), file->errorString());
                reply->abort();
                return;
            }
            progress.bytes += chunk.size();
        }
        if (options.onProgress)
            options.onProgress(progress.bytes, progress.expected);
    };

    QObject::connect(reply, &QNetworkReply::metaDataChanged, &idle, [&]() {
        idle.start();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        progress.expected = length.isValid() ? length.toLongLong() : -1;
    });
    QObject::connect(reply, &QNetworkReply::readyRead, &idle, [&idle, &drain]() {
        idle.start();
        drain();
    });
    QObject::connect(reply, &QNetworkReply::finished, &idle, [finished]() mutable { finished.resolve(); });
    // The network manager took its replies with it.
    QObject::connect(reply, &QObject::destroyed, &idle, [finished]() mutable { finished.resolve(); });
    QObject::connect(&idle, &QTimer::timeout, reply, [&progress, reply]() {
        progress.stalled = true;
        reply->abort();
    });
    const int cancelId = options.cancel.onCancel([guarded]() {
        if (guarded)
            QMetaObject::invokeMethod(guarded, [guarded]() { if (guarded) guarded->abort(); }, Qt::QueuedConnection);
    });
    idle.start();

    co_await finished;
    options.cancel.removeCallback(cancelId);
    idle.stop();
    if (!guarded)
        throw DownloadError(DownloadError::Reason::transport, requested, QStringLiteral("Verbindung beendet"));
    if (!progress.stalled && !progress.rejected && !progress.writeError && reply->error() == QNetworkReply::NoError)
        drain();

    Answer answer;
    answer.url = reply->url().isValid() ? reply->url() : requested;
    if (options.cancel.isCancelled())
        throw CancelledError();
    if (progress.writeError)
        throw *progress.writeError;
    if (progress.stalled) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(options.idleTimeout).count();
        throw DownloadError(DownloadError::Reason::stalled, answer.url,
                            seconds >= 1 ? QStringLiteral("%1 s").arg(seconds)
                                         : QStringLiteral("%1 ms").arg(options.idleTimeout.count()));
    }
    answer.status = status();
    if (answer.status != 0 && !isSuccess(answer.status)) {
        answer.location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        co_return answer;
    }
    if (reply->error() != QNetworkReply::NoError)
        throw DownloadError(DownloadError::Reason::transport, answer.url, reply->errorString());
    if (progress.expected >= 0 && progress.expected != progress.bytes) {
        throw DownloadError(DownloadError::Reason::truncated, answer.url,
                            QStringLiteral("%1 von %2 Bytes").arg(progress.bytes).arg(progress.expected));
    }
    answer.bytes = progress.bytes;
    co_return answer;
}

} // namespace

QCoro::Task<DownloadResult> downloadToFile(QNetworkAccessManager *network, QNetworkRequest request, QString path,
                                           DownloadOptions options)
{
    options.cancel.throwIfCancelled();
    const QFileInfo target(path);
    const QString partial = target.absolutePath() + QStringLiteral("/.") + target.fileName()
        + QStringLiteral(".download-") + QString::number(QRandomGenerator::global()->generate64(), 16);
    // Unbuffered: a failed write shows at the write, not lost in a flush.
    QFile file(partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        throw FileError(QStringLiteral("Schreiben"), partial, file.errorString());
    bool committed = false;
    const auto removePartial = qScopeGuard([&]() {
        if (!committed)
            QFile::remove(partial);
    });

    // Qt would otherwise ask for gzip and hand out the unpacked bytes.
    request.setRawHeader("Accept-Encoding", "identity");
    // Redirects are followed here, not by Qt: Qt keeps a redirect's headers
    // (its Content-Length among them) in the final reply.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (options.tlsConfiguration)
        request.setSslConfiguration(*options.tlsConfiguration);

    Answer answer;
    for (int redirects = 0;; ++redirects) {
        answer = co_await fetchOnce(network, request, &file, options);
        const bool redirect = answer.status >= 300 && answer.status <= 399 && answer.location.isValid();
        if (!redirect || redirects >= kMaximumRedirects)
            break;
        const QUrl next = answer.url.resolved(answer.location);
        if (answer.url.scheme() == QStringLiteral("https") && next.scheme() != QStringLiteral("https"))
            break;  // never down to plain HTTP
        if (next.scheme() != QStringLiteral("https") && next.scheme() != QStringLiteral("http"))
            break;
        request.setUrl(next);
    }
    file.close();
    if (!isSuccess(answer.status))
        co_return DownloadResult{answer.status, 0, answer.url};
    if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData()) != 0)
        throw FileError::fromErrno(QStringLiteral("Umbenennen"), path, errno);
    committed = true;
    co_return DownloadResult{answer.status, answer.bytes, answer.url};
}

} // namespace trellium
