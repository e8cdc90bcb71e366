#include "runtime/images/LinuxImageDownloadDelegate.h"

#include "core/Async.h"
#include "core/Errors.h"
#include "core/Files.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace trellium {

namespace {

constexpr qint64 kReadChunk = 256 * 1024;
// What Qt may hold of the answer before the socket is left unread.
constexpr qint64 kReadBuffer = 2 * 1024 * 1024;

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
    const QString part = m_destination + QStringLiteral(".part");
    removeItem(part);
    QFile file(part);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        throw FileError(QStringLiteral("Schreiben"), part, file.errorString());

    QNetworkRequest request(url);
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    QNetworkReply *reply = network->get(request);
    reply->setReadBufferSize(kReadBuffer);

    struct State {
        int64_t written = 0;
        int64_t expected = -1;
        std::exception_ptr failure;
        QByteArray buffer{kReadChunk, Qt::Uninitialized};
    };
    auto state = std::make_shared<State>();
    Completion<void> finished;
    QTimer idle;
    idle.setSingleShot(true);
    QTimer total;
    total.setSingleShot(true);

    auto fail = [reply, state](auto error) {
        if (!state->failure)
            state->failure = std::make_exception_ptr(std::move(error));
        reply->abort();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, state, &idle, fail]() {
        idle.start();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status < 200 || status > 299) {
            fail(downloadError(7, QStringLiteral("Der Server antwortete mit HTTP-Status %1.").arg(status)));
            return;
        }
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        state->expected = length.isValid() ? length.toLongLong() : -1;
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [this, reply, state, &file, &idle, fail]() {
        if (state->failure)
            return;
        idle.start();
        while (reply->bytesAvailable() > 0) {
            const qint64 n = reply->read(state->buffer.data(), kReadChunk);
            if (n <= 0)
                break;
            if (file.write(state->buffer.constData(), n) != n) {
                fail(FileError(QStringLiteral("Schreiben"), file.fileName(), file.errorString()));
                return;
            }
            state->written += n;
        }
        bytesWritten(state->written, state->expected);
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [finished]() mutable { finished.resolve(); });
    QObject::connect(&idle, &QTimer::timeout, reply, [limits, fail]() {
        fail(downloadError(8, QStringLiteral("Zeitüberschreitung: %1 s lang keine Daten empfangen.")
                                  .arg(limits.idle.count() / 1000.0)));
    });
    QObject::connect(&total, &QTimer::timeout, reply, [limits, fail]() {
        fail(downloadError(8, QStringLiteral("Zeitüberschreitung: Download nach %1 s abgebrochen.")
                                  .arg(limits.total.count() / 1000)));
    });
    idle.start(limits.idle);
    total.start(limits.total);

    co_await finished;
    idle.stop();
    total.stop();
    reply->disconnect();
    const QNetworkReply::NetworkError networkError = reply->error();
    const QString networkText = reply->errorString();
    reply->deleteLater();

    std::exception_ptr failure;
    try {
        if (state->failure)
            std::rethrow_exception(state->failure);
        if (networkError != QNetworkReply::NoError)
            throw DomainError(QStringLiteral("Network"), int(networkError), networkText);
        // A connection closed early is not a finished image.
        if (state->expected >= 0 && state->written != state->expected)
            throw downloadError(4, QStringLiteral("Unvollständiger Download (%1 von %2 Bytes).")
                                       .arg(state->written)
                                       .arg(state->expected));
        // Durable before it is renamed: a crash must not leave a torn image
        // under the real name. Flushing gigabytes takes a while: off the main thread.
        const int fd = file.handle();
        const QString destination = m_destination;
        auto finish = [fd, part, destination]() {
            if (::fsync(fd) != 0)
                throw FileError::fromErrno(QStringLiteral("Schreiben"), part, errno);
            if (::rename(QFile::encodeName(part).constData(), QFile::encodeName(destination).constData()) != 0)
                throw FileError::fromErrno(QStringLiteral("Umbenennen"), destination, errno);
        };
        co_await runOnWorker(finish);
    } catch (...) {
        failure = std::current_exception();
    }
    file.close();
    if (failure) {
        QFile::remove(part);
        std::rethrow_exception(failure);
    }
}

} // namespace trellium
