#include "support/WebRtcTestPeer.h"

#include "core/Json.h"

#include <QFile>
#include <QProcessEnvironment>

namespace trellium::test {

namespace {

const QByteArray kStartCode("\0\0\0\1", 4);

} // namespace

std::optional<QByteArray> RtpH264Depacketizer::add(const QByteArray &payload, bool marker)
{
    if (!payload.isEmpty()) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(payload.constData());
        const int type = bytes[0] & 0x1f;
        if (type >= 1 && type <= 23) {
            m_unit += kStartCode + payload;
        } else if (type == 24) {  // STAP-A: 16-bit sizes and units
            qsizetype offset = 1;
            while (offset + 2 <= payload.size()) {
                const int size = (bytes[offset] << 8) | bytes[offset + 1];
                offset += 2;
                if (offset + size > payload.size())
                    break;
                m_unit += kStartCode + payload.mid(offset, size);
                offset += size;
            }
        } else if (type == 28 && payload.size() >= 2) {  // FU-A
            if (bytes[1] & 0x80) {
                m_unit += kStartCode;
                m_unit += char((bytes[0] & 0xe0) | (bytes[1] & 0x1f));
            }
            m_unit += payload.mid(2);
        }
    }
    if (!marker)
        return std::nullopt;
    return std::exchange(m_unit, {});
}

QString WebRtcTestPeer::scriptPath()
{
    return QStringLiteral(TRELLIUM_BINARY_DIR "/webrtc-peer/peer.mjs");
}

bool WebRtcTestPeer::available(QString *whyNot)
{
    if (!QFile::exists(QStringLiteral("/usr/bin/node"))) {
        *whyNot = QStringLiteral("/usr/bin/node fehlt (scripts/setup)");
        return false;
    }
    if (!QFile::exists(QStringLiteral(TRELLIUM_BINARY_DIR "/webrtc-peer/node_modules/werift/package.json"))) {
        *whyNot = QStringLiteral("werift ist nicht im Build-Baum installiert (Ziel webrtc_peer)");
        return false;
    }
    return true;
}

WebRtcTestPeer::WebRtcTestPeer(QString codecs) : m_codecs(std::move(codecs))
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &WebRtcTestPeer::onOutput);
}

WebRtcTestPeer::~WebRtcTestPeer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

bool WebRtcTestPeer::start(QString *error)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PEER_CODECS"), m_codecs);
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/node"), {scriptPath()});
    if (!m_process.waitForStarted(10000)) {
        *error = m_process.errorString();
        return false;
    }
    return true;
}

void WebRtcTestPeer::send(const QJsonObject &message)
{
    m_process.write(compactJson(message) + '\n');
}

void WebRtcTestPeer::onOutput()
{
    m_buffer += m_process.readAllStandardOutput();
    qsizetype end = 0;
    while ((end = m_buffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        QJsonObject message;
        try {
            message = parseJsonObject(line);
        } catch (const std::exception &) {
            errors << QString::fromUtf8(line);
            continue;
        }
        const QString type = message.value(QStringLiteral("type")).toString();
        if (type == QLatin1String("offer")) {
            offer = message.value(QStringLiteral("sdp")).toString();
        } else if (type == QLatin1String("candidate")) {
            candidates << message;
        } else if (type == QLatin1String("ice")) {
            iceStates << message.value(QStringLiteral("state")).toString();
        } else if (type == QLatin1String("channel")) {
            channelStates << message.value(QStringLiteral("state")).toString();
        } else if (type == QLatin1String("remote")) {
            remote = message;
        } else if (type == QLatin1String("error")) {
            errors << message.value(QStringLiteral("message")).toString();
        } else if (type == QLatin1String("rtp")) {
            const QByteArray payload = QByteArray::fromBase64(message.value(QStringLiteral("p")).toString().toLatin1());
            if (auto unit = m_depacketizer.add(payload, message.value(QStringLiteral("m")).toBool()))
                frames << Frame{*unit, qint64(message.value(QStringLiteral("t")).toDouble()),
                                message.value(QStringLiteral("pt")).toInt()};
        }
        if (onMessage)
            onMessage(message);
    }
}

} // namespace trellium::test
