#include "support/HttpTestServer.h"

#include "support/TestCertificates.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <mutex>
#include <optional>

namespace trellium::test {

struct HttpTestServer::Shared {
    mutable std::mutex mutex;
    QMap<QByteArray, HttpResponse> routes;
    QList<HttpRequest> requests;
};

namespace {

constexpr qsizetype kMaximumHeadBytes = 64 * 1024;
constexpr qint64 kMaximumRequestBody = 16 * 1024 * 1024;
constexpr qint64 kPieceBytes = 64 * 1024;
constexpr qint64 kWriteBacklog = 256 * 1024;

// [first, last] of one "bytes=" range against `total`; nothing when the
// header asks for something this server does not do (several ranges) or is
// malformed, so the whole body is served; {-1, -1} when unsatisfiable.
std::optional<std::pair<qint64, qint64>> parseRange(const QByteArray &header, qint64 total)
{
    static const QRegularExpression pattern(QStringLiteral("^bytes=\\s*(\\d*)\\s*-\\s*(\\d*)\\s*$"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(header));
    if (!match.hasMatch())
        return std::nullopt;
    const QString from = match.captured(1);
    const QString to = match.captured(2);
    qint64 first = from.toLongLong();
    qint64 last = total - 1;
    if (from.isEmpty() && to.toLongLong() <= 0)
        return std::nullopt;
    if (from.isEmpty())
        first = std::max<qint64>(0, total - to.toLongLong());  // the last n bytes
    else if (!to.isEmpty() && to.toLongLong() < first)
        return std::nullopt;
    else if (!to.isEmpty())
        last = std::min(to.toLongLong(), total - 1);
    if (first >= total)
        return std::make_pair(qint64(-1), qint64(-1));
    return std::make_pair(first, last);
}

struct ActiveResponse {
    HttpResponse response;
    bool head = false;
    bool closeAfterward = false;
    std::unique_ptr<QFile> file;
    qint64 start = 0;
    qint64 length = 0;
    qint64 sent = 0;
    bool stalled = false;
    QElapsedTimer clock;
};

// One client connection: reads requests one after another and answers each.
class Connection : public QObject {
public:
    Connection(QTcpSocket *socket, std::shared_ptr<HttpTestServer::Shared> shared, QObject *parent)
        : QObject(parent), m_socket(socket), m_shared(std::move(shared))
    {
        socket->setParent(this);
        m_pacer.setSingleShot(true);
        QObject::connect(&m_pacer, &QTimer::timeout, this, [this]() { pump(); });
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this]() { onRead(); });
        QObject::connect(socket, &QTcpSocket::bytesWritten, this, [this]() { pump(); });
        if (auto *ssl = qobject_cast<QSslSocket *>(socket))
            QObject::connect(ssl, &QSslSocket::encryptedBytesWritten, this, [this]() { pump(); });
        QObject::connect(socket, &QTcpSocket::disconnected, this, [this]() { deleteLater(); });
    }

private:
    void onRead()
    {
        m_buffer.append(m_socket->readAll());
        if (!m_active)
            nextRequest();
    }

    void nextRequest()
    {
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > kMaximumHeadBytes)
                m_socket->abort();
            return;
        }
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        HttpRequest request;
        const QList<QByteArray> parts = lines.value(0).trimmed().split(' ');
        if (parts.size() != 3) {
            m_socket->abort();
            return;
        }
        request.method = parts[0];
        request.target = parts[1];
        request.path = request.target.left(request.target.indexOf('?') < 0 ? request.target.size()
                                                                          : request.target.indexOf('?'));
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        const qint64 bodyLength = request.header("content-length").toLongLong();
        if (bodyLength < 0 || bodyLength > kMaximumRequestBody) {
            m_socket->abort();
            return;
        }
        if (m_buffer.size() < end + 4 + bodyLength)
            return;  // the body is still coming
        request.body = m_buffer.mid(end + 4, bodyLength);
        m_buffer.remove(0, end + 4 + bodyLength);

        HttpResponse response = HttpResponse::withStatus(404, "not found\n");
        {
            std::lock_guard lock(m_shared->mutex);
            m_shared->requests.append(request);
            response = m_shared->routes.value(request.path, response);
        }

        m_active.emplace();
        m_active->response = std::move(response);
        m_active->head = request.method == "HEAD";
        m_active->closeAfterward = request.header("connection").toLower() == "close" || parts[2] == "HTTP/1.0";
        m_range = request.header("range");
        if (m_active->response.delay.count() > 0)
            QTimer::singleShot(m_active->response.delay, this, [this]() { sendHead(); });
        else
            sendHead();
    }

    void sendHead()
    {
        ActiveResponse &active = *m_active;
        HttpResponse &response = active.response;
        qint64 total = response.body.size();
        if (!response.bodyFile.isEmpty()) {
            active.file = std::make_unique<QFile>(response.bodyFile);
            if (!active.file->open(QIODevice::ReadOnly)) {
                m_socket->abort();
                return;
            }
            total = active.file->size();
        }
        int status = response.status;
        QList<QPair<QByteArray, QByteArray>> headers = response.headers;
        active.length = total;
        if (response.acceptRanges) {
            headers.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
            const auto range = m_range.isEmpty() || status != 200 ? std::nullopt : parseRange(m_range, total);
            if (range && range->first < 0) {
                status = 416;
                active.length = 0;
                headers.append(qMakePair(QByteArray("Content-Range"), QByteArray("bytes */" + QByteArray::number(total))));
            } else if (range) {
                status = 206;
                active.start = range->first;
                active.length = range->second - range->first + 1;
                headers.append(qMakePair(QByteArray("Content-Range"), QByteArray("bytes " + QByteArray::number(range->first) + '-'
                                                     + QByteArray::number(range->second) + '/'
                                                     + QByteArray::number(total))));
            }
        }
        if (response.chunked)
            headers.append(qMakePair(QByteArray("Transfer-Encoding"), QByteArray("chunked")));
        else if (response.closeDelimited)
            active.closeAfterward = true;
        else
            headers.append(qMakePair(QByteArray("Content-Length"), QByteArray(QByteArray::number(active.length))));
        if (active.closeAfterward)
            headers.append(qMakePair(QByteArray("Connection"), QByteArray("close")));

        QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";  // clients go by the code
        for (const auto &[name, value] : headers)
            head += name + ": " + value + "\r\n";
        head += "\r\n";
        m_socket->write(head);
        if (active.head)
            active.length = 0;
        if (active.file)
            active.file->seek(active.start);
        active.clock.start();
        pump();
    }

    void pump()
    {
        if (!m_active || m_active->stalled || !m_active->clock.isValid())
            return;
        ActiveResponse &active = *m_active;
        const HttpResponse &response = active.response;
        while (backlog() < kWriteBacklog) {
            qint64 piece = std::min(kPieceBytes, active.length - active.sent);
            if (piece <= 0) {
                complete();
                return;
            }
            if (response.stallAfter >= 0) {
                piece = std::min(piece, response.stallAfter - active.sent);
                if (piece <= 0) {
                    active.stalled = true;
                    return;
                }
            }
            if (response.closeAfter >= 0) {
                piece = std::min(piece, response.closeAfter - active.sent);
                if (piece <= 0) {
                    m_active.reset();
                    m_socket->disconnectFromHost();
                    return;
                }
            }
            if (response.bytesPerSecond > 0) {
                const qint64 allowed = response.bytesPerSecond * active.clock.elapsed() / 1000 - active.sent;
                if (allowed <= 0) {
                    m_pacer.start(10);
                    return;
                }
                piece = std::min(piece, allowed);
            }
            const QByteArray data = active.file ? active.file->read(piece)
                                                : response.body.mid(active.start + active.sent, piece);
            if (data.size() != piece) {
                m_socket->abort();
                return;
            }
            if (response.chunked)
                m_socket->write(QByteArray::number(piece, 16) + "\r\n" + data + "\r\n");
            else
                m_socket->write(data);
            active.sent += piece;
        }
        // Backlog full: bytesWritten resumes; the timer guards against a lost signal.
        m_pacer.start(50);
    }

    // What the socket still holds: a TLS socket keeps what it encrypted apart
    // from what it has yet to encrypt, and the former grows as fast as the
    // latter drains.
    qint64 backlog() const
    {
        const auto *ssl = qobject_cast<const QSslSocket *>(m_socket);
        return m_socket->bytesToWrite() + (ssl ? ssl->encryptedBytesToWrite() : 0);
    }

    void complete()
    {
        const bool close = m_active->closeAfterward;
        if (m_active->response.chunked && !m_active->head)
            m_socket->write("0\r\n\r\n");
        m_active.reset();
        if (close) {
            m_socket->disconnectFromHost();
            return;
        }
        nextRequest();
    }

    QTcpSocket *m_socket;
    std::shared_ptr<HttpTestServer::Shared> m_shared;
    QByteArray m_buffer;
    QByteArray m_range;
    std::optional<ActiveResponse> m_active;
    QTimer m_pacer;
};

} // namespace

class HttpTestServer::Core : public QTcpServer {
public:
    Core(std::shared_ptr<Shared> shared, bool tls) : m_shared(std::move(shared)), m_tls(tls) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QTcpSocket *socket = m_tls ? new QSslSocket() : new QTcpSocket();
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        new Connection(socket, m_shared, this);
        if (auto *ssl = qobject_cast<QSslSocket *>(socket)) {
            const TestCertificates &certificates = TestCertificates::shared();
            ssl->setLocalCertificate(certificates.server);
            ssl->setPrivateKey(certificates.serverKey);
            ssl->setProtocol(QSsl::TlsV1_2OrLater);
            ssl->startServerEncryption();
        }
    }

private:
    std::shared_ptr<Shared> m_shared;
    bool m_tls;
};

HttpResponse HttpResponse::ok(QByteArray body, QByteArray contentType)
{
    HttpResponse response;
    response.body = std::move(body);
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray(std::move(contentType))));
    return response;
}

HttpResponse HttpResponse::file(QString path, bool acceptRanges)
{
    HttpResponse response;
    response.bodyFile = std::move(path);
    response.acceptRanges = acceptRanges;
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/octet-stream")));
    return response;
}

HttpResponse HttpResponse::withStatus(int status, QByteArray body)
{
    HttpResponse response;
    response.status = status;
    response.body = std::move(body);
    return response;
}

HttpResponse HttpResponse::redirect(QByteArray location, int status)
{
    HttpResponse response;
    response.status = status;
    response.headers.append(qMakePair(QByteArray("Location"), QByteArray(std::move(location))));
    return response;
}

HttpTestServer::HttpTestServer(Scheme scheme) : m_scheme(scheme), m_shared(std::make_shared<Shared>())
{
    if (scheme == Scheme::https)
        TestCertificates::shared();  // made here, not on the server's thread
    m_thread = new QThread();
    m_thread->setObjectName(QStringLiteral("HttpTestServer"));
    m_thread->start();
    m_core = new Core(m_shared, scheme == Scheme::https);
    m_core->moveToThread(m_thread);
    Core *core = m_core;
    quint16 port = 0;
    QMetaObject::invokeMethod(
        core, [core, &port]() {
            if (core->listen(QHostAddress::LocalHost, 0))
                port = core->serverPort();
        },
        Qt::BlockingQueuedConnection);
    m_port = port;
    if (m_port == 0)
        qFatal("HttpTestServer: cannot listen on 127.0.0.1");
}

HttpTestServer::~HttpTestServer()
{
    Core *core = m_core;
    QMetaObject::invokeMethod(core, [core]() { delete core; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

QUrl HttpTestServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                    .arg(m_scheme == Scheme::https ? QStringLiteral("https") : QStringLiteral("http"))
                    .arg(m_port)
                    .arg(path));
}

void HttpTestServer::route(const QByteArray &path, HttpResponse response)
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->routes.insert(path, std::move(response));
}

QList<HttpRequest> HttpTestServer::requests() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->requests;
}

int HttpTestServer::count(const QByteArray &method, const QByteArray &path) const
{
    std::lock_guard lock(m_shared->mutex);
    return int(std::count_if(m_shared->requests.cbegin(), m_shared->requests.cend(),
                             [&](const HttpRequest &r) { return r.method == method && r.path == path; }));
}

QSslConfiguration HttpTestServer::clientConfiguration()
{
    return TestCertificates::shared().clientConfiguration();
}

} // namespace trellium::test
