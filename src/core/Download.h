#pragma once

#include "core/Async.h"
#include "core/Errors.h"

#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace trellium {

struct DownloadOptions {
    // The transfer fails when nothing arrives for this long (connecting and
    // waiting for the answer included); the whole download has no limit.
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(60);
    std::optional<QSslConfiguration> tlsConfiguration;
    // Main thread, as data arrives: bytes so far, bytes announced (-1 unknown).
    std::function<void(qint64 received, qint64 expected)> onProgress;
    CancelToken cancel;
    // The whole transfer is bounded as well; past it TimeoutError.
    std::optional<std::chrono::milliseconds> totalTimeout;
    // A body longer than this, announced or counted as it arrives, ends the
    // download with DownloadError tooLarge; no byte past it is taken.
    std::optional<qint64> maximumBytes;
    // Judges the final answer once its headers are in, before any of its
    // body is taken; throwing refuses the answer with that error.
    std::function<void(const QNetworkReply &reply)> checkResponse;
    // Judges every redirect before anything is sent to its target; throwing
    // refuses it with that error. Redirects from HTTPS to HTTP are never
    // followed (the redirect is then the answer).
    std::function<void(const QUrl &target)> checkRedirect;
    // A body that only the connection's end delimits (HTTP/1.x without
    // Content-Length, not chunked) cannot be told from a cut one: with this
    // set, such an answer fails with DownloadError unverifiable before any of
    // its body is taken. HTTP/2 ends every body with a flag of its own.
    bool requireVerifiableEnd = false;
};

struct DownloadResult {
    int status = 0;  // HTTP status of the final answer (after redirects)
    qint64 bytes = 0;  // written to the file
    QUrl url;  // where the answer came from
    QByteArray body;  // downloadToMemory only
};

// A download that did not complete: no answer, a broken connection, a server
// that went silent, fewer bytes than announced, or more than allowed.
class DownloadError : public Error {
public:
    enum class Reason { transport, stalled, truncated, tooLarge, unverifiable };

    DownloadError(Reason reason, QUrl url, QString detail);

    Reason reason() const { return m_reason; }
    QString localizedDescription() const override;

private:
    Reason m_reason;
    QUrl m_url;
    QString m_detail;
};

// GETs the request's URL and streams the body into `path` (never whole in
// memory). The body goes to a PartialItem beside `path` that is renamed into
// place when complete, so `path` holds a whole body or is untouched. An answer
// outside 200..299 is returned with its status and writes nothing. Redirects
// are followed unless they lead from HTTPS to HTTP. Throws DownloadError,
// FileError (writing) or CancelledError.
QCoro::Task<DownloadResult> downloadToFile(QNetworkAccessManager *network, QNetworkRequest request, QString path,
                                           DownloadOptions options = {});

// The same into memory, for small documents: the body is in the result's
// `body` when the answer is a success. Bound it with options.maximumBytes.
QCoro::Task<DownloadResult> downloadToMemory(QNetworkAccessManager *network, QNetworkRequest request,
                                             DownloadOptions options = {});

} // namespace trellium
