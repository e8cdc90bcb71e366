#include "support/RemoteDesktopFrame.h"

#include "support/H264Decoder.h"

#include <gtest/gtest.h>

#include <QtEndian>

namespace trellium::test {

QByteArray RemoteDesktopFrame::annexB() const
{
    return h264AnnexB(frame, sps.isEmpty() ? std::nullopt : std::optional(sps),
                      pps.isEmpty() ? std::nullopt : std::optional(pps));
}

std::optional<RemoteDesktopFrame> RemoteDesktopFrame::take(QByteArray &stream)
{
    if (stream.size() < 24)
        return std::nullopt;
    EXPECT_EQ(stream.left(4), "RDH1");
    const char *d = stream.constData();
    const uint32_t frameLength = qFromLittleEndian<uint32_t>(d + 16);
    const uint16_t spsLength = qFromLittleEndian<uint16_t>(d + 20);
    const uint16_t ppsLength = qFromLittleEndian<uint16_t>(d + 22);
    const qsizetype total = 24 + spsLength + ppsLength + qsizetype(frameLength);
    if (stream.size() < total)
        return std::nullopt;
    RemoteDesktopFrame f;
    f.width = qFromLittleEndian<uint16_t>(d + 4);
    f.height = qFromLittleEndian<uint16_t>(d + 6);
    f.index = qFromLittleEndian<uint32_t>(d + 8);
    f.flags = qFromLittleEndian<uint32_t>(d + 12);
    f.sps = stream.mid(24, spsLength);
    f.pps = stream.mid(24 + spsLength, ppsLength);
    f.frame = stream.mid(24 + spsLength + ppsLength, frameLength);
    stream.remove(0, total);
    return f;
}

RemoteDesktopFrame RemoteDesktopFrame::parse(const QByteArray &message)
{
    QByteArray rest = message;
    const std::optional<RemoteDesktopFrame> frame = take(rest);
    EXPECT_TRUE(frame && rest.isEmpty()) << "not one whole frame: " << message.size() << " bytes";
    return frame.value_or(RemoteDesktopFrame{});
}

} // namespace trellium::test
