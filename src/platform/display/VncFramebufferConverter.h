#pragma once

#include "platform/display/VncFramebufferMirror.h"
#include "platform/video/I420Picture.h"
#include "platform/video/I420PicturePool.h"
#include "platform/video/VideoFrameSource.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace trellium {

// Turns a mirror's picture into I420 frames of one size for one stream. It
// keeps the picture converted at the mirror's size and converts only the
// areas updated since; when nothing was updated the previous frame is
// handed out again. Main thread.
class VncFramebufferConverter {
public:
    // None until the mirror has a picture.
    std::optional<VideoFrameSource::Frame> frame(const VncFramebufferMirror &mirror, int width, int height);

    // Pixels converted by the last call (the whole picture or its changed areas).
    int64_t convertedPixels() const { return m_convertedPixels; }

private:
    uint64_t m_mirror = 0;      // serial of the mirror the pictures belong to
    uint64_t m_converted = 0;   // the mirror's update m_full shows
    I420Picture m_full;         // at the mirror's size
    I420PicturePool m_pool;
    std::shared_ptr<I420Picture> m_last;  // the last frame's picture
    int64_t m_convertedPixels = 0;
};

} // namespace trellium
