// The payload type the video track answers with, read from real offers' shapes.
#include "platform/webrtc/GstWebRtcPeerConnection.h"

#include <gtest/gtest.h>

using namespace trellium;

namespace {

QString offer(const QStringList &lines)
{
    return QStringLiteral("v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n") + lines.join(QStringLiteral("\r\n"))
        + QStringLiteral("\r\n");
}

} // namespace

TEST(GstWebRtcPeerConnectionTest, AnswersWithTheFirstH264FormatInPacketizationModeOne)
{
    // A browser's list: VP8 first, H.264 mode 0 before mode 1.
    const QString browser = offer({
        QStringLiteral("m=audio 9 UDP/TLS/RTP/SAVPF 111"),
        QStringLiteral("a=rtpmap:111 opus/48000/2"),
        QStringLiteral("a=fmtp:111 minptime=10;useinbandfec=1"),
        QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 96 102 106 127"),
        QStringLiteral("a=rtpmap:96 VP8/90000"),
        QStringLiteral("a=rtpmap:102 H264/90000"),
        QStringLiteral("a=fmtp:102 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=42001f"),
        QStringLiteral("a=rtpmap:106 H264/90000"),
        QStringLiteral("a=fmtp:106 level-asymmetry-allowed=1; packetization-mode=1; profile-level-id=42e01f"),
        QStringLiteral("a=rtpmap:127 h264/90000"),
        QStringLiteral("a=fmtp:127 packetization-mode=1;profile-level-id=4d001f"),
    });
    EXPECT_EQ(GstWebRtcPeerConnection::h264PayloadType(browser), 106);

    // The order of the m-line decides, not the order of the attributes.
    const QString reordered = offer({
        QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 127 106"),
        QStringLiteral("a=rtpmap:106 H264/90000"),
        QStringLiteral("a=fmtp:106 packetization-mode=1"),
        QStringLiteral("a=rtpmap:127 H264/90000"),
        QStringLiteral("a=fmtp:127 packetization-mode=1"),
    });
    EXPECT_EQ(GstWebRtcPeerConnection::h264PayloadType(reordered), 127);
}

TEST(GstWebRtcPeerConnectionTest, FindsNoneWithoutAnH264VideoFormatInModeOne)
{
    EXPECT_FALSE(GstWebRtcPeerConnection::h264PayloadType(QString()));
    EXPECT_FALSE(GstWebRtcPeerConnection::h264PayloadType(offer({
        QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 96 102"),
        QStringLiteral("a=rtpmap:96 VP8/90000"),
        QStringLiteral("a=rtpmap:102 H264/90000"),
        QStringLiteral("a=fmtp:102 packetization-mode=0"),
    })));
    // A format listed in another section, or mode 1 of a format that is not H.264.
    EXPECT_FALSE(GstWebRtcPeerConnection::h264PayloadType(offer({
        QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 96"),
        QStringLiteral("a=rtpmap:96 VP8/90000"),
        QStringLiteral("a=fmtp:96 packetization-mode=1"),
        QStringLiteral("m=application 9 UDP/DTLS/SCTP webrtc-datachannel"),
        QStringLiteral("a=rtpmap:102 H264/90000"),
        QStringLiteral("a=fmtp:102 packetization-mode=1"),
    })));
    // A format that is described but not offered on the m-line.
    EXPECT_FALSE(GstWebRtcPeerConnection::h264PayloadType(offer({
        QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 96"),
        QStringLiteral("a=rtpmap:96 VP8/90000"),
        QStringLiteral("a=rtpmap:102 H264/90000"),
        QStringLiteral("a=fmtp:102 packetization-mode=1"),
    })));
    // A peer's offer of a megabyte that repeats one format on the m-line and
    // gives it endless parameters is read once, not once per repetition (the
    // main thread would spend hours on it).
    const int repeats = 200'000;
    EXPECT_FALSE(GstWebRtcPeerConnection::h264PayloadType(offer({
        QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF") + QStringLiteral(" 102").repeated(repeats),
        QStringLiteral("a=rtpmap:102 H264/90000"),
        QStringLiteral("a=fmtp:102 packetization-mode=0") + QStringLiteral(";x").repeated(repeats),
    })));
}
