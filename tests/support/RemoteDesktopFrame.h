#pragma once

#include <QByteArray>

#include <cstdint>
#include <optional>

namespace trellium::test {

// One "RDH1" message of the local connection, read as the tablet reads it.
struct RemoteDesktopFrame {
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t index = 0;
    uint32_t flags = 0;
    QByteArray sps, pps, frame;

    bool isKeyFrame() const { return flags & 1; }
    // For H264Decoder: start codes, SPS and PPS in front when sent.
    QByteArray annexB() const;

    // The whole message (a test fails when it is not exactly one).
    static RemoteDesktopFrame parse(const QByteArray &message);
    // The first frame of a byte stream, taken off it; nothing while it is incomplete.
    static std::optional<RemoteDesktopFrame> take(QByteArray &stream);
};

} // namespace trellium::test
