#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace trellium::test {

// H.264 RTP payloads (single NAL units, STAP-A, FU-A) put back together as
// Annex B access units, one per marker bit.
class RtpH264Depacketizer {
public:
    // The access unit the packet completes, if its marker ends one.
    std::optional<QByteArray> add(const QByteArray &payload, bool marker);

private:
    QByteArray m_unit;
};

// The werift peer (tests/support/webrtc-peer, installed into the build tree
// by npm): offers receive-only video in the given formats and an "input" data
// channel and reports what it receives. Lives on the main thread.
class WebRtcTestPeer : public QObject {
    Q_OBJECT
public:
    struct Frame {
        QByteArray annexB;
        qint64 arrivedMs = 0;  // the peer's wall clock at the frame's last packet
        int payloadType = -1;
    };

    static QString scriptPath();
    static bool available(QString *whyNot);

    explicit WebRtcTestPeer(QString codecs = QStringLiteral("H264/102/42e01f"));
    ~WebRtcTestPeer() override;

    bool start(QString *error);
    void send(const QJsonObject &message);

    std::optional<QString> offer;
    QList<QJsonObject> candidates;
    QStringList iceStates;
    QStringList channelStates;
    QStringList errors;
    QList<Frame> frames;
    QJsonObject remote;  // the answer's "trackId" and "streamIds"
    // Called for every message after it is recorded.
    std::function<void(const QJsonObject &message)> onMessage;

private:
    void onOutput();

    QString m_codecs;
    QProcess m_process;
    QByteArray m_buffer;
    RtpH264Depacketizer m_depacketizer;
};

} // namespace trellium::test
