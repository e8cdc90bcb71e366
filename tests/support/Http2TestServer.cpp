#include "support/Http2TestServer.h"

#include "core/Json.h"
#include "support/TestCertificates.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonObject>

#include <stdexcept>

namespace trellium::test {

namespace {

const QString kNode = QStringLiteral("/usr/bin/node");

QString scriptPath()
{
    return QStringLiteral(TRELLIUM_SOURCE_DIR "/tests/support/http2-server.mjs");
}

QByteArray routesJson(const QMap<QByteArray, Http2Route> &routes)
{
    QJsonObject all;
    for (auto it = routes.cbegin(); it != routes.cend(); ++it) {
        const Http2Route &route = it.value();
        QJsonObject entry{{QStringLiteral("file"), route.file},
                          {QStringLiteral("resetWithoutError"), route.resetWithoutError}};
        if (route.resetAfter)
            entry.insert(QStringLiteral("resetAfter"), *route.resetAfter);
        if (route.closeAfter)
            entry.insert(QStringLiteral("closeAfter"), *route.closeAfter);
        all.insert(QString::fromUtf8(it.key()), entry);
    }
    return compactJson(all);
}

} // namespace

bool Http2TestServer::available(QString *whyNot)
{
    if (!QFile::exists(kNode)) {
        *whyNot = QStringLiteral("/usr/bin/node fehlt (scripts/setup)");
        return false;
    }
    return true;
}

Http2TestServer::Http2TestServer(const QMap<QByteArray, Http2Route> &routes)
{
    const TestCertificates &certificates = TestCertificates::shared();
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(kNode, {scriptPath(), certificates.serverFile, certificates.serverKeyFile,
                            QString::fromUtf8(routesJson(routes))});
    if (!m_process.waitForStarted(10'000))
        throw std::runtime_error("node did not start: " + m_process.errorString().toStdString());
    const QDeadlineTimer deadline(20'000);
    while (m_port == 0 && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        readOutput();
    }
    if (m_port == 0)
        throw std::runtime_error("the HTTP/2 test server did not start listening");
}

Http2TestServer::~Http2TestServer()
{
    // Its input closing ends it.
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QUrl Http2TestServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(m_port).arg(path));
}

int Http2TestServer::count(const QByteArray &path)
{
    while (m_process.waitForReadyRead(0))
        ;
    readOutput();
    return m_requests.value(path);
}

void Http2TestServer::readOutput()
{
    m_buffer += m_process.readAllStandardOutput();
    qsizetype end = 0;
    while ((end = m_buffer.indexOf('\n')) >= 0) {
        const QJsonObject line = parseJsonObject(m_buffer.left(end));
        m_buffer.remove(0, end + 1);
        if (line.contains(QStringLiteral("port")))
            m_port = quint16(line.value(QStringLiteral("port")).toInt());
        else if (line.value(QStringLiteral("protocol")).toString() == QStringLiteral("h2"))
            m_requests[line.value(QStringLiteral("path")).toString().toUtf8()] += 1;
    }
}

} // namespace trellium::test
