// The H.264 format the video track answers with, read from real offers' shapes.
#include "platform/webrtc/WebRtcH264Format.h"

#include <QStringList>

#include <gtest/gtest.h>

using namespace trellium;

namespace {

QString offer(const QStringList &lines)
{
    return QStringLiteral("v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n") + lines.join(QStringLiteral("\r\n"))
        + QStringLiteral("\r\n");
}

std::optional<int> payloadType(const QStringList &lines, QSize requested = QSize(1280, 720))
{
    const auto format = WebRtcH264Format::choose(offer(lines), requested, 30);
    return format ? std::optional(format->payloadType) : std::nullopt;
}

} // namespace

TEST(WebRtcH264FormatTest, ChoosesAVideoFormatTheEncoderCanProduceConstrainedBaselineFirst)
{
    // A browser's list: VP8 first, H.264 mode 0 before mode 1, main and
    // constrained high before constrained baseline.
    QStringList browser{
        QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 96 102 127 100 106"),
        QStringLiteral("a=rtpmap:96 VP8/90000"),
        QStringLiteral("a=rtpmap:102 H264/90000"),
        QStringLiteral("a=fmtp:102 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=42e01f"),
        QStringLiteral("a=rtpmap:127 h264/90000"),
        QStringLiteral("a=fmtp:127 packetization-mode=1;profile-level-id=4d001f"),
        QStringLiteral("a=rtpmap:100 H264/90000"),
        QStringLiteral("a=fmtp:100 packetization-mode=1;profile-level-id=640c34"),
        QStringLiteral("a=rtpmap:106 H264/90000"),
        QStringLiteral("a=fmtp:106 level-asymmetry-allowed=1; packetization-mode=1; profile-level-id=42E01F"),
    };
    EXPECT_EQ(payloadType(browser), 106);
    // The profile comes first, whatever the picture: a level does not bound
    // what is streamed, the stream names its own.
    EXPECT_EQ(payloadType(browser, QSize(1920, 1080)), 106);
    // Main before constrained high; the order of the m-line, not of the attributes, among equals.
    browser[0] = QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 100 127");
    EXPECT_EQ(payloadType(browser), 127);
    browser[5] = QStringLiteral("a=fmtp:127 packetization-mode=1;profile-level-id=640c34");
    EXPECT_EQ(payloadType(browser), 100);

    // H.264 in an audio section, mode 1 of VP8, H.264 in mode 0, extended,
    // high 4:4:4, a profile-level-id that is no number, H.264 described but
    // not on the m-line.
    EXPECT_FALSE(payloadType({
        QStringLiteral("m=audio 9 UDP/TLS/RTP/SAVPF 102"),
        QStringLiteral("a=rtpmap:102 H264/90000"),
        QStringLiteral("a=fmtp:102 packetization-mode=1"),
        QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 96 97 98 99 100"),
        QStringLiteral("a=rtpmap:96 VP8/90000"),
        QStringLiteral("a=fmtp:96 packetization-mode=1"),
        QStringLiteral("a=rtpmap:97 H264/90000"),
        QStringLiteral("a=fmtp:97 packetization-mode=0"),
        QStringLiteral("a=rtpmap:98 H264/90000"),
        QStringLiteral("a=fmtp:98 packetization-mode=1;profile-level-id=58001f"),
        QStringLiteral("a=rtpmap:99 H264/90000"),
        QStringLiteral("a=fmtp:99 packetization-mode=1;profile-level-id=f4001f"),
        QStringLiteral("a=rtpmap:100 H264/90000"),
        QStringLiteral("a=fmtp:100 packetization-mode=1;profile-level-id=42e0zz"),
        QStringLiteral("a=rtpmap:103 H264/90000"),
        QStringLiteral("a=fmtp:103 packetization-mode=1"),
    }));
    // A peer's offer of a megabyte that repeats one format on the m-line and
    // gives it endless parameters is read once, not once per repetition (the
    // main thread would spend hours on it).
    const int repeats = 200'000;
    EXPECT_FALSE(payloadType({
        QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF") + QStringLiteral(" 102").repeated(repeats),
        QStringLiteral("a=rtpmap:102 H264/90000"),
        QStringLiteral("a=fmtp:102 packetization-mode=0") + QStringLiteral(";x").repeated(repeats),
    }));

    // Only a section with a port that sends counts as an answer with video.
    EXPECT_FALSE(sdpSendsVideo(offer({QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 102"), QStringLiteral("a=recvonly"),
                                      QStringLiteral("m=video 0 UDP/TLS/RTP/SAVPF 102"), QStringLiteral("a=sendonly")})));
}

TEST(WebRtcH264FormatTest, WithinAProfileALevelThatHoldsThePictureElseTheOneThatHoldsTheMost)
{
    const auto offered = [](const QStringList &profileLevelIds) {
        QStringList lines{QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF")};
        for (qsizetype i = 0; i < profileLevelIds.size(); ++i) {
            lines[0] += QStringLiteral(" %1").arg(96 + i);
            lines << QStringLiteral("a=rtpmap:%1 H264/90000").arg(96 + i)
                  << QStringLiteral("a=fmtp:%1 packetization-mode=1;profile-level-id=%2").arg(96 + i).arg(profileLevelIds[i]);
        }
        return lines;
    };
    // At 30 pictures a second level 3.1 holds 1280 x 720, 4.0 holds 1600 x
    // 1120 and 1920 x 1080; none of these holds 3840 x 2160 (5.1 would).
    // Among levels that hold it, m-line order.
    EXPECT_EQ(payloadType(offered({"42e01f", "42e028"}), QSize(1280, 720)), 96);
    EXPECT_EQ(payloadType(offered({"42e01f", "42e028"}), QSize(1600, 1120)), 97);
    EXPECT_EQ(payloadType(offered({"42e01f", "42e034", "42e028"}), QSize(1920, 1080)), 97);
    EXPECT_EQ(payloadType(offered({"42e00d", "42e01f"}), QSize(3840, 2160)), 97);
    EXPECT_EQ(payloadType(offered({"42e01f", "42e00d", "42e028"}), QSize(3840, 2160)), 98);
    // A level that holds the picture in a later profile does not outrank the profile.
    EXPECT_EQ(payloadType(offered({"640c34", "42e00d"}), QSize(1920, 1080)), 97);
}

TEST(WebRtcH264FormatTest, AFormatWithoutPacketizationModeIsModeZeroAndNeverChosen)
{
    const QStringList withoutMode{
        QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 97 98"),
        QStringLiteral("a=rtpmap:97 H264/90000"),
        QStringLiteral("a=fmtp:97 level-asymmetry-allowed=1;profile-level-id=42e01f"),
        QStringLiteral("a=rtpmap:98 H264/90000"),
    };
    // With or without other parameters.
    EXPECT_FALSE(payloadType(withoutMode));
    // Beside a mode-1 format of a later profile, the mode-1 one.
    EXPECT_EQ(payloadType(QStringList{QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 97 98 100")} + withoutMode.mid(1)
                          + QStringList{QStringLiteral("a=rtpmap:100 H264/90000"),
                                        QStringLiteral("a=fmtp:100 profile-level-id=640c1f;packetization-mode=1")}),
              100);
}
