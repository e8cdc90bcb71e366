#pragma once

#include <QByteArray>
#include <QImage>

namespace trellium {

// The widest and tallest picture anything here makes or accepts: screens the
// display mirror follows and streams the remote desktop encodes.
inline constexpr int maximumPictureSide = 16384;

// One picture as 32-bit BGRA (BGRx: the alpha byte is not meaningful), rows
// top to bottom, `bytesPerRow` bytes apart.
struct PixelBuffer {
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
    QByteArray data;

    bool isValid() const { return width > 0 && height > 0 && data.size() >= qsizetype(bytesPerRow) * height; }
    const uchar *row(int y) const { return reinterpret_cast<const uchar *>(data.constData()) + qsizetype(y) * bytesPerRow; }

    // A deep copy as an image (for PNG and JPEG encoding).
    QImage toImage() const;
    // The image converted to BGRx and scaled to fill exactly width x height.
    static PixelBuffer fromImage(const QImage &image, int width, int height);
};

} // namespace trellium
