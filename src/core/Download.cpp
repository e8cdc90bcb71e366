#include "core/Download.h"

#include "core/PartialItem.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

#include <cstdio>

namespace trellium {

namespace {

constexpr qint64 kReadBufferBytes = 1024 * 1024;
constexpr int kMaximumRedirects = 10;

// Takes each piece of a successful body; throws to end the download with that error.
using BodySink = std::function<void(const QByteArray &piece)>;

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

bool isRedirect(int status)
{
    return status >= 300 && status <= 399;
}

// Whether the answer marks the end of its body itself, so that a body cut
// short shows as an error: chunks end with a last chunk, and HTTP/2 ends a
// stream with a flag (a reset stream or a lost connection fails the reply).
// Only an HTTP/1.x body delimited by the connection's close does not.
bool framesItsEnd(const QNetworkReply &reply)
{
    return reply.attribute(QNetworkRequest::Http2WasUsedAttribute).toBool()
        || reply.rawHeader("Transfer-Encoding").toLower().contains("chunked");
}

// Aborting inside one of the reply's own signals makes Qt report the
// answer's error a second time; the abort waits for the event loop instead.
void abortSoon(QNetworkReply *reply)
{
    QMetaObject::invokeMethod(
        reply, [reply]() { if (!reply->isFinished()) reply->abort(); }, Qt::QueuedConnection);
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
    case Reason::tooLarge:
        return QStringLiteral("Der Download von %1 ist größer als erlaubt (%2).").arg(where, m_detail);
    case Reason::unverifiable:
        return QStringLiteral("Der Download von %1 wurde abgelehnt: Der Server nennt keine Länge, ein abgeschnittener "
                              "Download wäre nicht zu erkennen.")
            .arg(where);
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

// One request, no redirects followed. A 2xx body goes to `sink` piece by
// piece, never more than options.maximumBytes of it.
QCoro::Task<Answer> fetchOnce(QNetworkAccessManager *network, QNetworkRequest request, BodySink sink,
                              DownloadOptions options, QDeadlineTimer deadline)
{
    const QUrl requested = request.url();
    QPointer<QNetworkReply> guarded(network->get(request));
    QNetworkReply *reply = guarded;
    // Released on every way out; a reply still running is stopped. One the
    // network manager took with it is not touched again.
    struct Release {
        QPointer<QNetworkReply> reply;
        ~Release()
        {
            if (!reply)
                return;
            reply->disconnect();
            if (!reply->isFinished())
                reply->abort();
            reply->deleteLater();
        }
    } const release{guarded};
    // A small bound reads no more than that ahead.
    reply->setReadBufferSize(options.maximumBytes ? std::min(kReadBufferBytes, *options.maximumBytes + 1)
                                                  : kReadBufferBytes);

    struct Progress {
        qint64 bytes = 0;
        qint64 expected = -1;
        bool judged = false;  // the answer's headers were looked at
        bool rejected = false;  // not a body to keep
        qint64 discarded = 0;
        bool stalled = false;
        bool timedOut = false;
        bool cutOff = false;
        std::exception_ptr failure;

        bool stopped() const { return stalled || timedOut || failure; }
    } progress;
    Completion<void> finished;
    QTimer idle;
    idle.setSingleShot(true);
    idle.setInterval(options.idleTimeout);
    QTimer overall;
    overall.setSingleShot(true);

    auto status = [reply]() { return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(); };
    auto fail = [&progress, reply](std::exception_ptr error) {
        progress.failure = std::move(error);
        abortSoon(reply);
    };
    auto tooLarge = [&options, reply]() {
        return std::make_exception_ptr(DownloadError(DownloadError::Reason::tooLarge, reply->url(),
                                                     QStringLiteral("mehr als %1 Bytes").arg(*options.maximumBytes)));
    };
    // True when the body is one to keep.
    auto judge = [&]() {
        if (progress.stopped())
            return false;
        if (std::exchange(progress.judged, true))
            return !progress.rejected;
        const int code = status();
        // A redirect is judged where it would be followed.
        if (!isRedirect(code) && options.checkResponse) {
            try {
                options.checkResponse(*reply);
            } catch (...) {
                fail(std::current_exception());
                return false;
            }
        }
        if (!isSuccess(code)) {
            progress.rejected = true;
            return false;
        }
        if (options.maximumBytes && progress.expected > *options.maximumBytes) {
            fail(tooLarge());
            return false;
        }
        if (options.requireVerifiableEnd && progress.expected < 0 && !framesItsEnd(*reply)) {
            fail(std::make_exception_ptr(DownloadError(DownloadError::Reason::unverifiable, reply->url(), {})));
            return false;
        }
        return true;
    };
    auto drain = [&]() {
        if (!judge()) {
            // An error page or a redirect's body is read to its end (Qt
            // reports the status as an error of its own then), unless long.
            progress.discarded += reply->readAll().size();
            if (progress.rejected && progress.discarded > kReadBufferBytes)
                abortSoon(reply);
            return;
        }
        while (reply->bytesAvailable() > 0) {
            const QByteArray piece = reply->read(kReadBufferBytes);
            if (options.maximumBytes && progress.bytes + piece.size() > *options.maximumBytes) {
                fail(tooLarge());
                return;
            }
            try {
                sink(piece);
            } catch (...) {
                fail(std::current_exception());
                return;
            }
            progress.bytes += piece.size();
        }
        if (options.onProgress)
            options.onProgress(progress.bytes, progress.expected);
    };

    QObject::connect(reply, &QNetworkReply::metaDataChanged, &idle, [&]() {
        idle.start();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        progress.expected = length.isValid() ? length.toLongLong() : -1;
        // Refused before any of the body comes.
        judge();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, &idle, [&idle, &drain]() {
        idle.start();
        drain();
    });
    // Qt ends an HTTP/2 stream that the server reset with NO_ERROR before
    // its end as an error without a code: the body is cut off all the same.
    QObject::connect(reply, &QNetworkReply::errorOccurred, &idle, [&progress](QNetworkReply::NetworkError code) {
        progress.cutOff = progress.cutOff || code == QNetworkReply::NoError;
    });
    QObject::connect(reply, &QNetworkReply::finished, &idle, [finished]() mutable { finished.resolve(); });
    // The network manager took its replies with it.
    QObject::connect(reply, &QObject::destroyed, &idle, [finished]() mutable { finished.resolve(); });
    QObject::connect(&idle, &QTimer::timeout, reply, [&progress, reply]() {
        progress.stalled = true;
        reply->abort();
    });
    QObject::connect(&overall, &QTimer::timeout, reply, [&progress, reply]() {
        progress.timedOut = true;
        reply->abort();
    });
    const int cancelId = options.cancel.onCancel([guarded]() {
        if (guarded)
            QMetaObject::invokeMethod(guarded, [guarded]() { if (guarded) guarded->abort(); }, Qt::QueuedConnection);
    });
    idle.start();
    if (!deadline.isForever())
        overall.start(std::chrono::milliseconds(std::max<qint64>(0, deadline.remainingTime())));

    co_await finished;
    options.cancel.removeCallback(cancelId);
    idle.stop();
    overall.stop();
    if (!guarded)
        throw DownloadError(DownloadError::Reason::transport, requested, QStringLiteral("Verbindung beendet"));
    // An answer without a body was not judged yet.
    if (!progress.stopped() && status() != 0)
        judge();
    if (!progress.stopped() && !progress.rejected && reply->error() == QNetworkReply::NoError)
        drain();

    Answer answer;
    answer.url = reply->url().isValid() ? reply->url() : requested;
    if (options.cancel.isCancelled())
        throw CancelledError();
    if (progress.failure)
        std::rethrow_exception(progress.failure);
    if (progress.timedOut)
        throw TimeoutError(QStringLiteral("Download von %1").arg(answer.url.toString(QUrl::RemoveUserInfo)));
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
    if (progress.cutOff)
        throw DownloadError(DownloadError::Reason::transport, answer.url,
                            QStringLiteral("Der Server hat die Übertragung vor ihrem Ende abgebrochen."));
    if (progress.expected >= 0 && progress.expected != progress.bytes) {
        throw DownloadError(DownloadError::Reason::truncated, answer.url,
                            QStringLiteral("%1 von %2 Bytes").arg(progress.bytes).arg(progress.expected));
    }
    answer.bytes = progress.bytes;
    co_return answer;
}

// Follows redirects itself, not Qt: Qt keeps a redirect's headers (its
// Content-Length among them) in the final reply.
QCoro::Task<Answer> receive(QNetworkAccessManager *network, QNetworkRequest request, BodySink sink,
                            DownloadOptions options)
{
    options.cancel.throwIfCancelled();
    // Qt would otherwise ask for gzip and hand out the unpacked bytes.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (options.tlsConfiguration)
        request.setSslConfiguration(*options.tlsConfiguration);
    const QDeadlineTimer deadline = options.totalTimeout ? QDeadlineTimer(*options.totalTimeout)
                                                         : QDeadlineTimer(QDeadlineTimer::Forever);

    Answer answer;
    for (int redirects = 0;; ++redirects) {
        answer = co_await fetchOnce(network, request, sink, options, deadline);
        const bool redirect = isRedirect(answer.status) && answer.location.isValid();
        if (!redirect || redirects >= kMaximumRedirects)
            break;
        const QUrl next = answer.url.resolved(answer.location);
        if (options.checkRedirect)
            options.checkRedirect(next);
        if (answer.url.scheme() == QStringLiteral("https") && next.scheme() != QStringLiteral("https"))
            break;  // never down to plain HTTP
        if (next.scheme() != QStringLiteral("https") && next.scheme() != QStringLiteral("http"))
            break;
        request.setUrl(next);
    }
    co_return answer;
}

} // namespace

QCoro::Task<DownloadResult> downloadToFile(QNetworkAccessManager *network, QNetworkRequest request, QString path,
                                           DownloadOptions options)
{
    options.cancel.throwIfCancelled();
    PartialItem partial(path);
    // Unbuffered: a failed write shows at the write, not lost in a flush.
    QFile file(partial.path());
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        throw FileError(QStringLiteral("Schreiben"), partial.path(), file.errorString());

    const BodySink write = [&file](const QByteArray &piece) {
        if (file.write(piece) != piece.size())
            throw FileError(QStringLiteral("Schreiben"), file.fileName(), file.errorString());
    };
    const Answer answer = co_await receive(network, std::move(request), write, std::move(options));
    file.close();
    if (!isSuccess(answer.status))
        co_return DownloadResult{answer.status, 0, answer.url, {}};
    if (std::rename(QFile::encodeName(partial.path()).constData(), QFile::encodeName(path).constData()) != 0)
        throw FileError::fromErrno(QStringLiteral("Umbenennen"), path, errno);
    partial.keep();
    co_return DownloadResult{answer.status, answer.bytes, answer.url, {}};
}

QCoro::Task<DownloadResult> downloadToMemory(QNetworkAccessManager *network, QNetworkRequest request,
                                             DownloadOptions options)
{
    QByteArray body;
    const BodySink keep = [&body](const QByteArray &piece) { body.append(piece); };
    const Answer answer = co_await receive(network, std::move(request), keep, std::move(options));
    if (!isSuccess(answer.status))
        co_return DownloadResult{answer.status, 0, answer.url, {}};
    co_return DownloadResult{answer.status, answer.bytes, answer.url, std::move(body)};
}

} // namespace trellium
