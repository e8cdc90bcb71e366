#include "platform/display/VncFramebufferConverter.h"

namespace trellium {

namespace {
// Beyond this many areas, or this share of the picture, one conversion of
// the whole is cheaper than many small ones.
constexpr size_t kMostAreas = 64;
constexpr int64_t kWholeShareDivisor = 2;
} // namespace

std::optional<VideoFrameSource::Frame> VncFramebufferConverter::frame(const VncFramebufferMirror &mirror, int width,
                                                                      int height)
{
    m_convertedPixels = 0;
    if (width <= 0 || height <= 0)
        return std::nullopt;
    if (mirror.serial() != m_mirror) {
        m_mirror = mirror.serial();
        m_converted = 0;
        m_last.reset();
    }

    bool hasPicture = false;
    bool unchanged = false;
    mirror.readPicture(m_converted, [&](const VncFramebufferMirror::PictureAccess &picture) {
        if (!picture.pixels)
            return;
        hasPicture = true;
        if (picture.updateCount == m_converted && m_full.size() == QSize(picture.width, picture.height)) {
            unchanged = true;
            return;
        }
        bool whole = !picture.changes || m_converted == 0 || m_full.size() != QSize(picture.width, picture.height);
        if (!whole) {
            int64_t area = 0;
            for (const QRect &change : *picture.changes)
                area += int64_t(change.width()) * change.height();
            whole = picture.changes->size() > kMostAreas
                || area > int64_t(picture.width) * picture.height / kWholeShareDivisor;
        }
        m_full.resize(picture.width, picture.height);
        const auto *pixels = reinterpret_cast<const uint8_t *>(picture.pixels);
        if (whole) {
            m_full.convertFrom(pixels, picture.width * 4);
            m_convertedPixels = int64_t(picture.width) * picture.height;
        } else {
            for (const QRect &change : *picture.changes) {
                m_full.convertFrom(pixels, picture.width * 4, change);
                m_convertedPixels += int64_t(change.width()) * change.height();
            }
        }
        m_converted = picture.updateCount;
    });
    if (!hasPicture)
        return std::nullopt;

    const QSize size(width, height);
    if (unchanged && m_last && m_last->size() == size)
        return VideoFrameSource::Frame{m_last, true};

    // A picture of its own for each frame that changed: the previous one may
    // still be read by the encoder.
    std::shared_ptr<I420Picture> picture = m_pool.take(width, height);
    m_full.scaleInto(*picture);
    m_last = picture;
    return VideoFrameSource::Frame{picture, false};
}

} // namespace trellium
