#include "core/Descriptor.h"

#include <utility>

#include <unistd.h>

namespace trellium {

Descriptor::~Descriptor()
{
    reset();
}

Descriptor &Descriptor::operator=(Descriptor &&other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int Descriptor::release()
{
    return std::exchange(m_fd, -1);
}

void Descriptor::reset(int fd)
{
    const int previous = std::exchange(m_fd, fd);
    if (previous >= 0 && previous != fd)
        ::close(previous);
}

} // namespace trellium
