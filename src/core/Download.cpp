#include "core/Download.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRandomGenerator>

#include <cstdio>

namespace trellium {

namespace {

constexpr qint64 kReadBufferBytes = 1024 * 1024;

// Ends what a download leaves behind on every way out: the reply is
// disconnected and released, the unfinished file removed.
struct DownloadScope {
    QPointer<QNetworkReply> reply;
    QString partial;
    bool committed = false;

    ~DownloadScope()
    {
        if (reply) {
            reply->disconnect();
            reply->abort();
            reply->deleteLater();
        }
        if (!committed)
            QFile::remove(partial);
    }
};

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

QCoro::Task<DownloadResult> downloadToFile(QNetworkAccessManager *network, QNetworkRequest request, QString path,
                                           DownloadOptions options)
{
    options.cancel.throwIfCancelled();
    const QFileInfo target(path);
    DownloadScope scope;
    scope.partial = target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".download-")
        + QString::number(QRandomGenerator::global()->generate64(), 16);
    // Unbuffered: a failed write shows at the write, not lost in a flush.
    QFile file(scope.partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        throw FileError(QStringLiteral("Schreiben"), scope.partial, file.errorString());

    // Qt would otherwise ask for gzip and hand out the unpacked bytes.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (options.tlsConfiguration)
        request.setSslConfiguration(*options.tlsConfiguration);
    const QUrl requested = request.url();

    QNetworkReply *reply = network->get(request);
    scope.reply = reply;
    reply->setReadBufferSize(kReadBufferBytes);

    struct Progress {
        qint64 bytes = 0;
        bool rejected = false;
        bool stalled = false;
        std::optional<FileError> writeError;
    } progress;
    Completion<void> finished;
    QTimer idle;
    idle.setSingleShot(true);
    idle.setInterval(options.idleTimeout);

    auto status = [reply]() { return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(); };
    auto expected = [reply]() {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        return length.isValid() ? length.toLongLong() : qint64(-1);
    };
    auto drain = [&]() {
        if (progress.rejected || progress.writeError || progress.stalled) {
            reply->readAll();
            return;
        }
        if (!isSuccess(status())) {
            progress.rejected = true;
            reply->abort();
            return;
        }
        while (reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(kReadBufferBytes);
            if (file.write(chunk) != chunk.size()) {
                progress.writeError = FileError(QStringLiteral("Schreiben"), path, file.errorString());
                reply->abort();
                return;
            }
            progress.bytes += chunk.size();
        }
        if (options.onProgress)
            options.onProgress(progress.bytes, expected());
    };

    QObject::connect(reply, &QNetworkReply::metaDataChanged, &idle, [&idle]() { idle.start(); });
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
    const int cancelId = options.cancel.onCancel([guarded = QPointer<QNetworkReply>(reply)]() {
        if (guarded)
            QMetaObject::invokeMethod(guarded, [guarded]() { if (guarded) guarded->abort(); }, Qt::QueuedConnection);
    });
    idle.start();

    co_await finished;
    options.cancel.removeCallback(cancelId);
    idle.stop();
    if (!scope.reply)
        throw DownloadError(DownloadError::Reason::transport, requested, QStringLiteral("Verbindung beendet"));
    if (!progress.stalled && !progress.rejected && !progress.writeError && reply->error() == QNetworkReply::NoError)
        drain();
    file.close();

    const QUrl answered = reply->url().isValid() ? reply->url() : requested;
    if (options.cancel.isCancelled())
        throw CancelledError();
    if (progress.writeError)
        throw *progress.writeError;
    if (progress.stalled) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(options.idleTimeout).count();
        throw DownloadError(DownloadError::Reason::stalled, answered,
                            seconds >= 1 ? QStringLiteral("%1 s").arg(seconds)
                                         : QStringLiteral("%1 ms").arg(options.idleTimeout.count()));
    }
    const int code = status();
    if (code != 0 && !isSuccess(code))
        co_return DownloadResult{code, 0, answered};
    if (reply->error() != QNetworkReply::NoError)
        throw DownloadError(DownloadError::Reason::transport, answered, reply->errorString());
    if (code == 0)
        co_return DownloadResult{code, 0, answered};
    const qint64 announced = expected();
    if (announced >= 0 && announced != progress.bytes) {
        throw DownloadError(DownloadError::Reason::truncated, answered,
                            QStringLiteral("%1 von %2 Bytes").arg(progress.bytes).arg(announced));
    }
    if (std::rename(QFile::encodeName(scope.partial).constData(), QFile::encodeName(path).constData()) != 0)
        throw FileError::fromErrno(QStringLiteral("Umbenennen"), path, errno);
    scope.committed = true;
    co_return DownloadResult{code, progress.bytes, answered};
}

} // namespace trellium
