#pragma once

#include "platform/video/I420Picture.h"
#include "platform/video/PixelBuffer.h"

#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace trellium {

// H.264 for the remote desktop stream: x264 on an encoder thread of its own,
// real time, Main profile, no frame reordering, a key frame at least once a
// second. Fed, silenced and invalidated on the main thread; encoded frames are
// handed to the handler on the main thread, in encoding order. Opening and
// closing x264 take milliseconds: a silenced encoder may be created and
// destroyed on any thread.
class RemoteDesktopH264Encoder {
public:
    // frame: length-prefixed NAL units (4-byte big-endian lengths) as x264 wrote them.
    // sps, pps: raw NAL units (no start code, no length), present on key frames only.
    using FrameHandler = std::function<void(QByteArray frame, bool isKeyFrame, std::optional<QByteArray> sps,
                                            std::optional<QByteArray> pps)>;

    RemoteDesktopH264Encoder(int width, int height, int fps, int64_t bitrate);
    ~RemoteDesktopH264Encoder();
    RemoteDesktopH264Encoder(const RemoteDesktopH264Encoder &) = delete;
    RemoteDesktopH264Encoder &operator=(const RemoteDesktopH264Encoder &) = delete;

    // False when x264 refused the settings (the encoder then produces nothing)
    // and after invalidate().
    bool hasSession() const;
    void setOnEncodedFrame(FrameHandler handler);

    // Returns at once. A picture the encoder thread has not taken yet is
    // replaced by a newer one; a picture of another size is scaled to fill.
    // The picture is read on the encoder thread and must not be written
    // while the encoder holds it. `unchanged`: the same picture as the one
    // handed over before.
    void encode(std::shared_ptr<const I420Picture> picture, bool unchanged);
    // Converts on the calling thread, then as above as a changed picture.
    void encode(const PixelBuffer &picture);
    // The next encoded frame is an IDR frame with SPS and PPS.
    void requestKeyFrame();
    // Blocks until every picture handed over is encoded and queued for the handler.
    void completeFrames();
    // Completes, hands the queued frames to the handler, then stops: no output
    // after it returns.
    void invalidate();
    // Hands nothing more to the handler, not even frames already encoded.
    // Afterwards the encoder may be destroyed on another thread.
    void silence();

    // Called on the encoder thread right before x264 codes a picture, with
    // the quantizer forced on it (none: left to the rate control). It may
    // block, holding the encoder thread while newer pictures are handed over.
    using QuantizerObserver = std::function<void(std::optional<int> forcedQuantizer)>;
    void setQuantizerObserver(QuantizerObserver observer);

    int width() const { return m_width; }
    int height() const { return m_height; }
    int64_t bitrate() const { return m_bitrate; }

    // The image as BGRA, scaled to fill exactly width x height.
    static PixelBuffer makePixelBuffer(const QImage &image, int width, int height);

private:
    class Session;
    struct Delivery;

    int m_width;
    int m_height;
    int64_t m_bitrate;
    // Shared with the deliveries queued to the main thread, which do nothing
    // once it is closed.
    std::shared_ptr<Delivery> m_delivery;
    std::unique_ptr<Session> m_session;
};

} // namespace trellium
