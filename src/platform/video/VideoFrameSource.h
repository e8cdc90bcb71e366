#pragma once

#include "platform/video/I420Picture.h"

#include <QObject>
#include <QRect>

#include <memory>
#include <optional>
#include <vector>

namespace trellium {

// Something a video stream takes its pictures from, one frame at a time on
// the main thread.
class VideoFrameSource : public QObject {
    Q_OBJECT
public:
    struct Frame {
        // Shared with whoever encodes it; never written while shared.
        std::shared_ptr<const I420Picture> picture;
        // The areas that may differ from the previous frame of this source;
        // none when anything may have changed (the first frame, a new size).
        std::optional<std::vector<QRect>> changes;
    };

    using QObject::QObject;

    // The current picture at width x height, reusing the previous one when
    // nothing changed. None when there is no picture, with the reason in
    // `error` where the source does not report it itself.
    virtual std::optional<Frame> capture(int width, int height, QString *error) = 0;

signals:
    // The picture changed since the last capture (main thread; may be
    // coalesced).
    void changed();
};

} // namespace trellium
