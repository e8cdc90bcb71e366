#pragma once

#include "platform/video/VideoFrameSource.h"

#include <QColor>

namespace trellium::test {

// A screen of one colour that never changes: the first capture at a size
// is a whole new picture, every later one the same picture again.
class StillFrameSource : public VideoFrameSource {
public:
    explicit StillFrameSource(QColor colour = QColor(40, 90, 160)) : m_colour(colour) {}
    std::optional<Frame> capture(int width, int height, QString *error) override;

private:
    QColor m_colour;
    std::shared_ptr<const I420Picture> m_picture;
};

} // namespace trellium::test
