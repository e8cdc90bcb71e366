#include "platform/video/PixelBuffer.h"

namespace trellium {

QImage PixelBuffer::toImage() const
{
    if (!isValid())
        return {};
    // BGRA in memory is ARGB32 on little-endian machines.
    QImage view(reinterpret_cast<const uchar *>(data.constData()), width, height, bytesPerRow, QImage::Format_RGB32);
    return view.copy();
}

PixelBuffer PixelBuffer::fromImage(const QImage &image, int width, int height)
{
    PixelBuffer buffer;
    if (image.isNull() || width <= 0 || height <= 0)
        return buffer;
    QImage scaled = image.size() == QSize(width, height)
        ? image.convertToFormat(QImage::Format_RGB32)
        : image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::FastTransformation).convertToFormat(QImage::Format_RGB32);
    buffer.width = width;
    buffer.height = height;
    buffer.bytesPerRow = width * 4;
    buffer.data.resize(qsizetype(buffer.bytesPerRow) * height);
    for (int y = 0; y < height; ++y)
        memcpy(buffer.data.data() + qsizetype(y) * buffer.bytesPerRow, scaled.constScanLine(y), size_t(buffer.bytesPerRow));
    return buffer;
}

} // namespace trellium
