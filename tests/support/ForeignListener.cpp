#include "support/ForeignListener.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace trellium::test {

namespace {

// Only system calls between fork and _exit: the test process has threads.
[[noreturn]] void serve(const sockaddr_un &address, uid_t uid, int ready, int report)
{
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0 || ::bind(server, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        ::_exit(10);
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
        ::_exit(11);
    if (::listen(server, 8) != 0)
        ::_exit(12);
    const char yes = 1;
    if (::write(ready, &yes, 1) != 1)
        ::_exit(13);
    ::close(ready);
    for (;;) {
        const int caller = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (caller < 0)
            continue;
        char buffer[4096];
        ssize_t n;
        bool lineEnded = false;
        while (!lineEnded && (n = ::read(caller, buffer, sizeof buffer)) > 0) {
            if (::write(report, buffer, size_t(n)) != n)
                ::_exit(14);
            lineEnded = std::memchr(buffer, '\n', size_t(n)) != nullptr;
        }
        if (lineEnded)
            ::send(caller, "OK\n", 3, MSG_NOSIGNAL);
        ::close(caller);
    }
}

} // namespace

ForeignListener::ForeignListener(const QString &path, uid_t uid)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    if (encoded.size() >= qsizetype(sizeof address.sun_path)) {
        m_whyNot = QStringLiteral("path too long");
        return;
    }
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    int ready[2];
    int report[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) {
        m_whyNot = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    m_child = ::fork();
    if (m_child == 0)
        serve(address, uid, ready[1], report[1]);
    ::close(ready[1]);
    ::close(report[1]);
    m_report = report[0];
    ::fcntl(m_report, F_SETFL, O_NONBLOCK);
    char byte = 0;
    ssize_t n;
    do {
        n = ::read(ready[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    ::close(ready[0]);
    if (m_child < 0) {
        m_whyNot = QStringLiteral("fork failed");
    } else if (n != 1) {
        int status = 0;
        ::waitpid(m_child, &status, 0);
        m_child = -1;
        m_whyNot = QStringLiteral("the child could not listen as uid %1 (code %2)").arg(uid).arg(WEXITSTATUS(status));
    }
}

ForeignListener::~ForeignListener()
{
    if (m_child > 0) {
        ::kill(m_child, SIGKILL);
        ::waitpid(m_child, nullptr, 0);
    }
    if (m_report >= 0)
        ::close(m_report);
}

bool ForeignListener::listening(QString *whyNot) const
{
    if (whyNot)
        *whyNot = m_whyNot;
    return m_whyNot.isEmpty();
}

QByteArray ForeignListener::received()
{
    char buffer[4096];
    ssize_t n;
    while (m_report >= 0 && (n = ::read(m_report, buffer, sizeof buffer)) > 0)
        m_received.append(buffer, n);
    return m_received;
}

} // namespace trellium::test
