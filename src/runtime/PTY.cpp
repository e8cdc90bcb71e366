#include "runtime/PTY.h"

#include "core/Errors.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace trellium {

namespace {

bool addDescriptorFlag(int fd, int flag)
{
    const int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && ::fcntl(fd, F_SETFD, flags | flag) == 0;
}

bool addStatusFlag(int fd, int flag)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | flag) == 0;
}

} // namespace

PTY::PTY()
{
    if (::openpty(&m_masterFD, &m_slaveFD, nullptr, nullptr, nullptr) != 0) {
        m_masterFD = m_slaveFD = -1;
        throw DomainError(QStringLiteral("PTY"), 1, QStringLiteral("openpty fehlgeschlagen"));
    }
    // openpty cannot open with O_CLOEXEC; mark both at once so that a child
    // started elsewhere in the agent does not inherit the terminal.
    if (!addDescriptorFlag(m_masterFD, FD_CLOEXEC) || !addDescriptorFlag(m_slaveFD, FD_CLOEXEC)
        || !addStatusFlag(m_masterFD, O_NONBLOCK)) {
        ::close(m_masterFD);
        ::close(m_slaveFD);
        m_masterFD = m_slaveFD = -1;
        throw DomainError(QStringLiteral("PTY"), 1, QStringLiteral("openpty fehlgeschlagen"));
    }
}

PTY::~PTY()
{
    ::close(m_masterFD);
    ::close(m_slaveFD);
}

bool PTY::setWindowSize(uint16_t columns, uint16_t rows)
{
    winsize size{};
    size.ws_col = columns;
    size.ws_row = rows;
    return ::ioctl(m_slaveFD, TIOCSWINSZ, &size) == 0;
}

PTY::WindowSize PTY::windowSize() const
{
    winsize size{};
    if (::ioctl(m_slaveFD, TIOCGWINSZ, &size) != 0)
        return {};
    return {size.ws_col, size.ws_row};
}

} // namespace trellium
