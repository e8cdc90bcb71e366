#pragma once

#include "platform/video/PixelBuffer.h"

#include <QRect>
#include <QSize>

#include <cstdint>
#include <vector>

namespace trellium {

// One picture as the H.264 encoder takes it: a luma plane and two chroma
// planes of half width and height (rounded up), BT.601 limited range as
// libyuv's ARGB conversion makes it. The planes live in one buffer that is
// kept when the picture is reused at the same size.
class I420Picture {
public:
    I420Picture() = default;
    I420Picture(int width, int height);

    // Makes the picture width x height; the contents are undefined after a
    // change of size. An empty or negative size gives a null picture.
    void resize(int width, int height);

    bool isNull() const { return m_width <= 0 || m_height <= 0; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    QSize size() const { return QSize(m_width, m_height); }
    int chromaWidth() const { return (m_width + 1) / 2; }
    int chromaHeight() const { return (m_height + 1) / 2; }

    // Plane 0 is luma, 1 and 2 the blue and red difference.
    uint8_t *plane(int index) { return m_data.data() + m_offsets[index]; }
    const uint8_t *plane(int index) const { return m_data.data() + m_offsets[index]; }
    int stride(int index) const { return m_strides[index]; }

    // Converts `area` of a BGRx picture of this picture's size, widened to
    // even edges (chroma covers two by two pixels). Outside the picture is
    // ignored.
    void convertFrom(const uint8_t *bgrx, int bytesPerRow, const QRect &area);
    void convertFrom(const uint8_t *bgrx, int bytesPerRow) { convertFrom(bgrx, bytesPerRow, QRect(QPoint(0, 0), size())); }

    // Fills `target`, at its own size, with this picture: each output
    // pixel is the area average of the pixels it covers when scaling down,
    // so flat colours stay exact and thin lines fade instead of vanishing.
    void scaleInto(I420Picture &target) const;

    // The picture as BGRx (for diagnostics and tests).
    PixelBuffer toPixelBuffer() const;

    // Same size and the same samples in every plane.
    bool hasSamePixels(const I420Picture &other) const;

private:
    int m_width = 0;
    int m_height = 0;
    int m_strides[3] = {0, 0, 0};
    size_t m_offsets[3] = {0, 0, 0};
    std::vector<uint8_t> m_data;
};

} // namespace trellium
