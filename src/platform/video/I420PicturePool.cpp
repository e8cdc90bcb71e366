#include "platform/video/I420PicturePool.h"

#include <atomic>

namespace trellium {

namespace {
// A stream holds its newest picture, the encoder one waiting and one being
// encoded: more than this means pictures were kept elsewhere.
constexpr size_t kKeptPictures = 4;
} // namespace

std::shared_ptr<I420Picture> I420PicturePool::take(int width, int height)
{
    for (const std::shared_ptr<I420Picture> &picture : m_pictures) {
        if (picture.use_count() == 1) {
            // The other holder's release (on another thread) happens before
            // this picture is written again.
            std::atomic_thread_fence(std::memory_order_acquire);
            picture->resize(width, height);
            return picture;
        }
    }
    auto picture = std::make_shared<I420Picture>(width, height);
    if (m_pictures.size() >= kKeptPictures)
        m_pictures.erase(m_pictures.begin());
    m_pictures.push_back(picture);
    return picture;
}

} // namespace trellium
