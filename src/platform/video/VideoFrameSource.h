#pragma once

#include "platform/video/I420Picture.h"

#include <QObject>

#include <memory>
#include <optional>

namespace trellium {

// Something a video stream takes its pictures from, one frame at a time on
// the main thread.
class VideoFrameSource : public QObject {
    Q_OBJECT
public:
    struct Frame {
        // Shared with whoever encodes it; never written while shared.
        std::shared_ptr<const I420Picture> picture;
        // The same picture as the previous frame of this source: nothing
        // changed since.
        bool unchanged = false;
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
