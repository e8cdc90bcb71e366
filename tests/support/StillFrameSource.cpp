#include "support/StillFrameSource.h"

#include <QImage>

namespace trellium::test {

std::optional<VideoFrameSource::Frame> StillFrameSource::capture(int width, int height, QString *)
{
    if (m_picture && m_picture->size() == QSize(width, height))
        return Frame{m_picture, true};
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(m_colour);
    auto picture = std::make_shared<I420Picture>(width, height);
    picture->convertFrom(image.constBits(), int(image.bytesPerLine()));
    m_picture = picture;
    return Frame{m_picture, false};
}

} // namespace trellium::test
