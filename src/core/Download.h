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

namespace trellium {

struct DownloadOptions {
    // The transfer fails when nothing arrives for this long (connecting and
    // waiting for the answer included); the whole download has no limit.
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(60);
    std::optional<QSslConfiguration> tlsConfiguration;
    // Main thread, as data arrives: bytes so far, bytes announced (-1 unknown).
    std::function<void(qint64 received, qint64 expected)> onProgress;
    CancelToken cancel;
};

struct DownloadResult {
    int status = 0;  // HTTP status of the final answer (after redirects)
    qint64 bytes = 0;  // written to the file
    QUrl url;  // where the answer came from
};

// A download that did not complete: no answer, a broken connection, a server
// that went silent, or fewer bytes than announced.
class DownloadError : public Error {
public:
    enum class Reason { transport, stalled, truncated };

    DownloadError(Reason reason, QUrl url, QString detail);

    Reason reason() const { return m_reason; }
    QString localizedDescription() const override;

private:
    Reason m_reason;
    QUrl m_url;
    QString m_detail;
};

// GETs the request's URL and streams the body into `path` (never whole in
// memory). The body goes to a hidden file beside `path` that is renamed into
// place when complete, so `path` holds a whole body or is untouched. An answer
// outside 200..299 is returned with its status and writes nothing. Redirects
// are followed unless they lead from HTTPS to HTTP. Throws DownloadError,
// FileError (writing) or CancelledError.
QCoro::Task<DownloadResult> downloadToFile(QNetworkAccessManager *network, QNetworkRequest request, QString path,
                                           DownloadOptions options = {});

} // namespace trellium
