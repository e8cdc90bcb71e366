#include "runtime/linux/LinuxSerialConsoleCapture.h"

#include "core/Errors.h"
#include "core/Json.h"
#include "core/Log.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace trellium {

namespace {

QByteArray banner(const char *which)
{
    return QStringLiteral("===== TRELLIUM SERIAL CONSOLE %1 %2 =====")
        .arg(QLatin1String(which), formatDateDescription(QDateTime::currentDateTimeUtc()))
        .toUtf8();
}

void closeQuietly(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

LinuxSerialConsoleCapture::LinuxSerialConsoleCapture(const QUuid &runtimeID, const QString &logPath)
    : m_logPath(logPath)
{
    Q_UNUSED(runtimeID);
    // Every start begins a fresh log.
    m_logFd = ::open(QFile::encodeName(logPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC,
                     0644);
    if (m_logFd < 0)
        throw FileError::fromErrno(QStringLiteral("Serielles Log öffnen"), logPath, errno);

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        const int error = errno;
        closeQuietly(m_logFd);
        throw FileError::fromErrno(QStringLiteral("Serielle Verbindung anlegen"), logPath, error);
    }
    m_guestFd = pair[0];
    m_hostFd = pair[1];
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        const int error = errno;
        closeQuietly(m_logFd);
        closeQuietly(m_guestFd);
        closeQuietly(m_hostFd);
        throw FileError::fromErrno(QStringLiteral("Serielle Verbindung anlegen"), logPath, error);
    }

    const QByteArray start = banner("START") + '\n';
    append(start.constData(), size_t(start.size()));
    m_reader = std::thread([this]() { readLoop(); });
}

LinuxSerialConsoleCapture::~LinuxSerialConsoleCapture()
{
    stop();
}

void LinuxSerialConsoleCapture::append(const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(m_logFd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            logLine(QStringLiteral("Serial console log write failed:"), QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        data += written;
        size -= size_t(written);
    }
}

void LinuxSerialConsoleCapture::readLoop()
{
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_hostFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents != 0)
            return;  // stop() asked us to end
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::read(m_hostFd, buffer.data(), buffer.size());
            if (got > 0) {
                append(buffer.data(), size_t(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                // The guest side is gone; wait for stop() without spinning.
                pollfd wake{m_wakeFd, POLLIN, 0};
                while (::poll(&wake, 1, -1) < 0 && errno == EINTR) {
                }
                return;
            }
        }
    }
}

void LinuxSerialConsoleCapture::stop()
{
    std::lock_guard lock(m_stopMutex);
    if (m_stopped.exchange(true))
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    if (m_reader.joinable())
        m_reader.join();

    const QByteArray end = '\n' + banner("END");
    bool failed = false;
    for (const char *data = end.constData(), *stop = data + end.size(); data < stop && !failed;) {
        const ssize_t written = ::write(m_logFd, data, size_t(stop - data));
        if (written < 0 && errno != EINTR) {
            logLine(QStringLiteral("Serial console log close failed:"), QString::fromLocal8Bit(std::strerror(errno)));
            failed = true;
        } else if (written > 0) {
            data += written;
        }
    }
    if (::close(m_logFd) != 0 && !failed)
        logLine(QStringLiteral("Serial console log close failed:"), QString::fromLocal8Bit(std::strerror(errno)));
    m_logFd = -1;
    closeQuietly(m_guestFd);
    closeQuietly(m_hostFd);
    closeQuietly(m_wakeFd);
}

} // namespace trellium
