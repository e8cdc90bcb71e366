#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

class QThread;

namespace trellium::test {

struct HttpRequest {
    QByteArray method;
    QByteArray target;  // as sent, query included
    QByteArray path;    // without the query
    QMap<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;

    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
};

// What the server answers to one request. Every misbehaviour a client must
// survive can be set per response.
struct HttpResponse {
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // Served from this file instead of `body` (large downloads, read in pieces).
    QString bodyFile;
    // Answers "Range: bytes=..." with 206 and Content-Range (416 when it lies
    // outside), and announces "Accept-Ranges: bytes".
    bool acceptRanges = false;
    // Transfer-Encoding: chunked instead of a Content-Length.
    bool chunked = false;
    // Neither: the body ends where the server closes the connection.
    bool closeDelimited = false;
    // Waits this long before the status line.
    std::chrono::milliseconds delay{0};
    // Paces the body; 0 sends as fast as the client reads.
    qint64 bytesPerSecond = 0;
    // After this many body bytes nothing more is sent; the connection stays open.
    qint64 stallAfter = -1;
    // After this many body bytes the connection is closed (a truncated body).
    qint64 closeAfter = -1;

    static HttpResponse ok(QByteArray body, QByteArray contentType = "application/octet-stream");
    static HttpResponse file(QString path, bool acceptRanges = true);
    static HttpResponse withStatus(int status, QByteArray body = {});
    static HttpResponse redirect(QByteArray location, int status = 302);
};

// A small HTTP/1.1 server on 127.0.0.1 with its own thread, plain or TLS with
// the process's test certificate authority (TestCertificates). Keep-alive,
// HEAD, ranges, chunked bodies, pacing, stalls, truncation and redirects.
class HttpTestServer {
public:
    enum class Scheme { http, https };

    explicit HttpTestServer(Scheme scheme = Scheme::http);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer &) = delete;
    HttpTestServer &operator=(const HttpTestServer &) = delete;

    quint16 port() const { return m_port; }
    // http(s)://127.0.0.1:<port> + path
    QUrl url(const QString &path = QStringLiteral("/")) const;

    // Answers every request for `path` (query ignored) with `response`.
    void route(const QByteArray &path, HttpResponse response);

    // Every request received so far (also those still being answered).
    QList<HttpRequest> requests() const;
    int count(const QByteArray &method, const QByteArray &path) const;

    // A client configuration that trusts this server's certificate.
    static QSslConfiguration clientConfiguration();

    struct Shared;
    class Core;

private:
    Scheme m_scheme;
    std::shared_ptr<Shared> m_shared;
    QThread *m_thread = nullptr;
    Core *m_core = nullptr;
    quint16 m_port = 0;
};

} // namespace trellium::test
