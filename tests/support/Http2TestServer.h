#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QUrl>

#include <optional>

namespace trellium::test {

// One file served over HTTP/2 with status 200 and without a Content-Length:
// the end of the body is known only from the stream's own end.
struct Http2Route {
    QString file;
    // After this many body bytes the stream is reset (RST_STREAM without
    // END_STREAM) with INTERNAL_ERROR, or NO_ERROR; the connection stays.
    std::optional<qint64> resetAfter;
    bool resetWithoutError = false;
    // After this many body bytes the connection is dropped.
    std::optional<qint64> closeAfter;
};

// A real HTTP/2 server (node's http2 module) on 127.0.0.1 over TLS with the
// process's test certificate authority; it speaks nothing but h2, chosen in
// the TLS handshake (ALPN) as with any public server.
class Http2TestServer {
public:
    // Whether node is there to run it; else why not.
    static bool available(QString *whyNot);

    explicit Http2TestServer(const QMap<QByteArray, Http2Route> &routes);
    ~Http2TestServer();
    Http2TestServer(const Http2TestServer &) = delete;
    Http2TestServer &operator=(const Http2TestServer &) = delete;

    QUrl url(const QString &path) const;
    // Requests received for the path so far over h2 as chosen in the handshake.
    int count(const QByteArray &path);

private:
    void readOutput();

    QProcess m_process;
    QByteArray m_buffer;
    quint16 m_port = 0;
    QMap<QByteArray, int> m_requests;
};

} // namespace trellium::test
