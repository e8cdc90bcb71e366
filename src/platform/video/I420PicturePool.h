#pragma once

#include "platform/video/I420Picture.h"

#include <memory>
#include <vector>

namespace trellium {

// Pictures for a stream of frames without an allocation per frame. A picture
// handed out is shared with the encoder, which reads it on its own thread;
// it is given out again only once every other holder has let it go.
class I420PicturePool {
public:
    // A picture of that size that nobody else holds; its contents are left
    // from an earlier use.
    std::shared_ptr<I420Picture> take(int width, int height);

private:
    std::vector<std::shared_ptr<I420Picture>> m_pictures;
};

} // namespace trellium
