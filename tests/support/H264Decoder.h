#pragma once

#include <QByteArray>
#include <QColor>
#include <QList>

#include <memory>
#include <optional>

namespace trellium::test {

// NAL unit types of a frame of 4-byte length-prefixed NAL units; nullopt when
// the prefixes do not exactly cover the frame.
std::optional<QList<int>> h264NalTypes(const QByteArray &frame);

// The frame as Annex B (start codes instead of length prefixes), with SPS and
// PPS in front when given. Empty when the prefixes do not cover the frame.
QByteArray h264AnnexB(const QByteArray &frame, const std::optional<QByteArray> &sps,
                      const std::optional<QByteArray> &pps);

// One decoded picture, its planes copied.
struct H264Picture {
    int width = 0;
    int height = 0;
    bool keyFrame = false;
    bool corrupt = false;
    char type = '?';  // 'I', 'P', 'B'
    QByteArray y, u, v;
    int strideY = 0, strideU = 0, strideV = 0;

    int luma(int x, int y) const;
    // Mean colour of the 5x5 block around (x, y), BT.601 limited range.
    QColor colorAt(int x, int y) const;
};

// libavcodec's H.264 decoder without frame threads, so every access unit of a
// stream without reordering yields its picture at once.
class H264Decoder {
public:
    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder &) = delete;
    H264Decoder &operator=(const H264Decoder &) = delete;

    bool isOpen() const;
    // The pictures this access unit (Annex B) completes; nullopt when the
    // decoder rejects it.
    std::optional<QList<H264Picture>> decode(const QByteArray &annexB);
    int profile() const;
    // level_idc of the stream's SPS (40 for level 4.0).
    int level() const;
    int hasBFrames() const;

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

} // namespace trellium::test
