#include "runtime/linux/LinuxTerminalSession.h"

#include "core/Errors.h"
#include "core/Json.h"
#include "core/Log.h"
#include "core/Process.h"
#include "runtime/linux/LinuxSSHManager.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QProcessEnvironment>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace trellium {

// ---------------------------------------------------------------- output buffer

TerminalOutputBuffer::TerminalOutputBuffer(qsizetype capacity) : m_capacity(std::max<qsizetype>(capacity, 1)) {}

void TerminalOutputBuffer::append(const char *data, qsizetype size)
{
    if (size <= 0)
        return;
    if (size >= m_capacity) {
        m_storage.assign(data + size - m_capacity, data + size);
        m_start = 0;
        m_size = m_capacity;
        return;
    }
    // Until the storage is full it grows like any vector, so a quiet
    // terminal does not hold the whole capacity.
    const auto stored = qsizetype(m_storage.size());
    if (stored < m_capacity) {
        const qsizetype taken = std::min(size, m_capacity - stored);
        if (qsizetype(m_storage.capacity()) < stored + taken)
            m_storage.reserve(size_t(std::min(m_capacity, std::max(stored + taken, 2 * stored))));
        m_storage.insert(m_storage.end(), data, data + taken);
        m_size += taken;
        data += taken;
        size -= taken;
    }
    // Full: overwrite the oldest bytes in place.
    while (size > 0) {
        const qsizetype chunk = std::min(size, m_capacity - m_start);
        std::memcpy(m_storage.data() + m_start, data, size_t(chunk));
        m_start = (m_start + chunk) % m_capacity;
        data += chunk;
        size -= chunk;
    }
}

QByteArray TerminalOutputBuffer::contents() const
{
    QByteArray result;
    result.reserve(m_size);
    result.append(m_storage.data() + m_start, m_size - m_start);
    result.append(m_storage.data(), m_start);
    return result;
}

void TerminalOutputBuffer::clear()
{
    std::vector<char>().swap(m_storage);
    m_start = 0;
    m_size = 0;
}

// ---------------------------------------------------------------- launching

namespace {

// Called through syscall: glibc 2.36 declares these without C linkage.
int openPidFD(pid_t pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

int sendSignal(int pidFD, int signal)
{
    return int(::syscall(SYS_pidfd_send_signal, pidFD, signal, nullptr, 0));
}

struct Child {
    pid_t pid = 0;
    int pidFD = -1;
};

[[noreturn]] void reportExecFailure(int errorFD)
{
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(errorFD, &error, sizeof error);
    ::_exit(127);
}

// Runs between fork and exec: async-signal-safe calls only, nothing that
// allocates. Reports a failure as errno through the pipe.
[[noreturn]] void execInTerminal(int slaveFD, int errorFD, pid_t parent, const char *path, char *const *argv,
                                 char *const *envp)
{
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Ignored signals stay ignored across exec; ssh expects the defaults.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    ::sigemptyset(&defaults.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            ::sigaction(signal, &defaults, nullptr);
    }

    // A session of its own whose controlling terminal is the slave: ssh -tt
    // then sees a real terminal, follows its size and gets SIGHUP when the
    // agent closes the master.
    if (::setsid() < 0 || ::ioctl(slaveFD, TIOCSCTTY, 0) != 0)
        reportExecFailure(errorFD);
    for (int target = 0; target <= 2; ++target) {
        // dup2 onto itself would keep close-on-exec.
        if (slaveFD == target ? ::fcntl(target, F_SETFD, 0) != 0 : ::dup2(slaveFD, target) < 0)
            reportExecFailure(errorFD);
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);  // the agent is already gone
    // Nothing of the agent's but the terminal survives exec; the error pipe
    // is close-on-exec already and stays usable until then.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        const long limit = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
        for (int fd = 3; fd < limit; ++fd) {
            if (fd != errorFD)
                ::close(fd);
        }
    }
    ::execve(path, argv, envp);
    reportExecFailure(errorFD);
}

void waitForChild(pid_t pid)
{
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

Child launchInTerminal(const QString &program, const QStringList &arguments, const QStringList &environment,
                       int slaveFD)
{
    requireExecutable(program);

    // Everything the child needs is built before fork.
    const QByteArray path = QFile::encodeName(program);
    std::vector<QByteArray> argumentBytes{path};
    for (const QString &argument : arguments)
        argumentBytes.push_back(argument.toUtf8());
    std::vector<QByteArray> environmentBytes;
    for (const QString &entry : environment)
        environmentBytes.push_back(entry.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : argumentBytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (QByteArray &entry : environmentBytes)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0)
        throw FileError::fromErrno(QStringLiteral("Programmstart"), program, errno);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(errorPipe[0]);
        ::close(errorPipe[1]);
        throw FileError::fromErrno(QStringLiteral("Programmstart"), program, error);
    }
    if (pid == 0)
        execInTerminal(slaveFD, errorPipe[1], parent, path.constData(), argv.data(), envp.data());

    ::close(errorPipe[1]);
    // End of file means exec succeeded; a number is the child's errno.
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(errorPipe[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(errorPipe[0]);
    if (got == sizeof childError) {
        waitForChild(pid);
        throw FileError::fromErrno(QStringLiteral("Programmstart"), program, childError);
    }

    // Not reaped yet, so the pid is still ours to open.
    const int pidFD = openPidFD(pid);
    if (pidFD < 0) {
        const int error = errno;
        ::kill(pid, SIGKILL);
        waitForChild(pid);
        throw FileError::fromErrno(QStringLiteral("Programmstart"), program, error);
    }
    return {pid, pidFD};
}

QStringList terminalEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm-256color"));
    environment.insert(QStringLiteral("COLORTERM"), QStringLiteral("truecolor"));
    if (environment.value(QStringLiteral("LANG")).isEmpty())
        environment.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
    return environment.toStringList();
}

// Waits for a terminated child off the main thread: ssh normally ends at
// once on SIGTERM/SIGHUP; one that does not is killed.
void reapInBackground(pid_t pid, int pidFD)
{
    auto reap = [pid, pidFD]() {
        pollfd exited{pidFD, POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&exited, 1, 5000);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0)
            sendSignal(pidFD, SIGKILL);
        waitForChild(pid);
        ::close(pidFD);
    };
    try {
        std::thread(reap).detach();
    } catch (const std::system_error &) {
        sendSignal(pidFD, SIGKILL);
        waitForChild(pid);
        ::close(pidFD);
    }
}

} // namespace

// ---------------------------------------------------------------- session

LinuxTerminalSession::LinuxTerminalSession(RuntimeConfig runtime, QString sshPath, LinuxSSHKeyManager sshManager)
    : m_runtime(std::move(runtime)), m_sshPath(std::move(sshPath)), m_sshManager(std::move(sshManager)),
      m_deliveryAlive(std::make_shared<std::atomic<bool>>(true))
{
}

LinuxTerminalSession::~LinuxTerminalSession()
{
    terminate();
}

QStringList LinuxTerminalSession::sshArguments() const
{
    QStringList arguments{QStringLiteral("-tt"),
                          QStringLiteral("-i"),
                          m_sshManager.privateKeyPath(m_runtime.id),
                          QStringLiteral("-o"),
                          QStringLiteral("IdentitiesOnly=yes"),
                          QStringLiteral("-o"),
                          QStringLiteral("StrictHostKeyChecking=no"),
                          QStringLiteral("-o"),
                          QStringLiteral("UserKnownHostsFile=/dev/null")};
    arguments << LinuxSSHManager::destinationArguments(m_runtime);
    return arguments;
}

void LinuxTerminalSession::startTerminal()
{
    if (m_started || m_terminated)
        return;
    if (!m_runtime.ipAddress || m_runtime.ipAddress->isEmpty())
        throw DomainError(QStringLiteral("Terminal"), 1, QStringLiteral("Keine Runtime-IP."));
    const QStringList arguments = sshArguments();

    auto pty = std::make_unique<PTY>();
    pty->setWindowSize(initialColumns, initialRows);
    const int wakeFD = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFD < 0)
        throw FileError::fromErrno(QStringLiteral("Programmstart"), m_sshPath, errno);

    Child child;
    try {
        child = launchInTerminal(m_sshPath, arguments, terminalEnvironment(), pty->slaveFD());
    } catch (...) {
        ::close(wakeFD);
        throw;
    }

    m_pty = std::move(pty);
    m_wakeFD = wakeFD;
    m_pid = child.pid;
    m_pidFD = child.pidFD;
    m_started = true;
    try {
        m_reader = std::thread([this]() { readLoop(); });
    } catch (...) {
        terminate();
        throw;
    }
    logLine(QStringLiteral("Terminal session started:"),
            uuidText(m_runtime.id) + QStringLiteral(" pid ") + QString::number(m_pid));
}

void LinuxTerminalSession::terminate()
{
    if (!m_started || m_terminated)
        return;
    m_terminated = true;

    // The reader must be gone before any descriptor it polls is closed.
    if (m_reader.joinable()) {
        m_stopping = true;
        wakeReader();
        m_reader.join();
    }
    m_deliveryAlive->store(false);
    {
        std::lock_guard lock(m_outputLock);
        m_outputHandler = nullptr;
        m_outputBuffer.clear();
    }
    {
        std::lock_guard lock(m_inputLock);
        m_pendingInput.clear();
        m_pendingOffset = 0;
    }
    {
        std::lock_guard lock(m_childLock);
        if (!m_reaped) {
            sendSignal(m_pidFD, SIGTERM);
            reapInBackground(m_pid, m_pidFD);
        } else {
            ::close(m_pidFD);
        }
        m_pidFD = -1;
        m_reaped = true;
    }
    m_childExited = true;
    m_pty.reset();
    ::close(m_wakeFD);
    m_wakeFD = -1;
}

bool LinuxTerminalSession::isRunning() const
{
    return m_started && !m_terminated && !m_childExited.load();
}

PTY::WindowSize LinuxTerminalSession::windowSize() const
{
    return m_pty ? m_pty->windowSize() : PTY::WindowSize{};
}

QByteArray LinuxTerminalSession::outputSnapshot() const
{
    std::lock_guard lock(m_outputLock);
    return m_outputBuffer.contents();
}

void LinuxTerminalSession::setOutputHandler(OutputHandler handler)
{
    std::lock_guard lock(m_outputLock);
    m_outputHandler = std::move(handler);
}

void LinuxTerminalSession::attachOutput(OutputHandler handler)
{
    if (m_terminated)
        return;
    std::lock_guard lock(m_outputLock);
    m_outputHandler = handler;
    // Posted under the lock: the reader posts its next chunk only after
    // taking the lock, so the replay is queued ahead of it.
    if (handler && !m_outputBuffer.isEmpty())
        post(std::move(handler), m_outputBuffer.contents());
}

void LinuxTerminalSession::post(OutputHandler handler, QByteArray chunk)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [alive = m_deliveryAlive, handler = std::move(handler), chunk = std::move(chunk)]() {
            if (alive->load())
                handler(chunk);
        },
        Qt::QueuedConnection);
}

void LinuxTerminalSession::appendOutput(QByteArray chunk)
{
    std::lock_guard lock(m_outputLock);
    m_outputBuffer.append(chunk.constData(), chunk.size());
    if (m_outputHandler)
        post(m_outputHandler, std::move(chunk));
}

bool LinuxTerminalSession::write(const QByteArray &bytes)
{
    if (!isRunning())
        return false;
    if (bytes.isEmpty())
        return true;
    std::lock_guard lock(m_inputLock);
    const qsizetype pending = m_pendingInput.size() - m_pendingOffset;
    if (pending + bytes.size() > maxPendingInputBytes) {
        logLine(QStringLiteral("Terminal input dropped:"),
                uuidText(m_runtime.id) + QStringLiteral(" %1 bytes, %2 still waiting").arg(bytes.size()).arg(pending));
        return false;
    }
    qsizetype written = 0;
    if (pending == 0) {
        while (written < bytes.size()) {
            const ssize_t n = ::write(m_pty->masterFD(), bytes.constData() + written, size_t(bytes.size() - written));
            if (n > 0) {
                written += n;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                logLine(QStringLiteral("Terminal input failed:"),
                        uuidText(m_runtime.id) + QLatin1Char(' ') + QString::fromLocal8Bit(std::strerror(errno)));
                return false;
            }
        }
        if (written == bytes.size())
            return true;
        m_pendingInput.clear();
        m_pendingOffset = 0;
    } else if (m_pendingOffset > m_pendingInput.size() / 2) {
        m_pendingInput.remove(0, m_pendingOffset);
        m_pendingOffset = 0;
    }
    m_pendingInput.append(bytes.constData() + written, bytes.size() - written);
    wakeReader();  // to watch for the master becoming writable
    return true;
}

void LinuxTerminalSession::flushPendingInputLocked()
{
    while (m_pendingOffset < m_pendingInput.size()) {
        const ssize_t n = ::write(m_pty->masterFD(), m_pendingInput.constData() + m_pendingOffset,
                                  size_t(m_pendingInput.size() - m_pendingOffset));
        if (n > 0) {
            m_pendingOffset += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            logLine(QStringLiteral("Terminal input failed:"),
                    uuidText(m_runtime.id) + QLatin1Char(' ') + QString::fromLocal8Bit(std::strerror(errno)));
            break;
        }
    }
    m_pendingInput.clear();
    m_pendingOffset = 0;
}

void LinuxTerminalSession::resize(uint16_t columns, uint16_t rows)
{
    if (!m_pty || m_terminated)
        return;
    m_pty->setWindowSize(columns, rows);
    signalChild(SIGWINCH);
}

void LinuxTerminalSession::signalChild(int signal)
{
    std::lock_guard lock(m_childLock);
    if (!m_reaped && m_pidFD >= 0)
        sendSignal(m_pidFD, signal);
}

void LinuxTerminalSession::wakeReader()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFD, &one, sizeof one);
}

void LinuxTerminalSession::reapChild()
{
    int status = 0;
    pid_t result;
    {
        std::lock_guard lock(m_childLock);
        do {
            result = ::waitpid(m_pid, &status, WNOHANG);
        } while (result < 0 && errno == EINTR);
        if (result == 0)
            return;  // not ended after all
        // ECHILD: someone reaped it for us; it is gone either way.
        m_reaped = true;
        m_childExited = true;
    }
    {
        std::lock_guard lock(m_inputLock);
        m_pendingInput.clear();
        m_pendingOffset = 0;
    }
    QString how;
    if (result < 0)
        how = QStringLiteral("unknown status");
    else if (WIFSIGNALED(status))
        how = QStringLiteral("signal %1").arg(WTERMSIG(status));
    else
        how = QStringLiteral("status %1").arg(WEXITSTATUS(status));
    logLine(QStringLiteral("Terminal session ended:"), uuidText(m_runtime.id) + QLatin1Char(' ') + how);
}

void LinuxTerminalSession::readLoop()
{
    const int masterFD = m_pty->masterFD();
    const int pidFD = m_pidFD;
    std::vector<char> chunk(64 * 1024);
    bool watchMaster = true;
    bool watchChild = true;

    while (!m_stopping.load()) {
        bool wantsWrite;
        {
            std::lock_guard lock(m_inputLock);
            wantsWrite = m_pendingOffset < m_pendingInput.size();
        }
        pollfd fds[3] = {
            {watchMaster ? masterFD : -1, short(POLLIN | (wantsWrite ? POLLOUT : 0)), 0},
            {m_wakeFD, POLLIN, 0},
            {watchChild ? pidFD : -1, POLLIN, 0},
        };
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            logLine(QStringLiteral("Terminal read failed:"), QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] const ssize_t got = ::read(m_wakeFD, &count, sizeof count);
            continue;  // re-check stopping and what to watch
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(masterFD, chunk.data(), chunk.size());
            if (n > 0)
                appendOutput(QByteArray(chunk.data(), qsizetype(n)));
            else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                watchMaster = false;
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            watchMaster = false;  // nothing more will come; do not spin on it
        }
        if (fds[0].revents & POLLOUT) {
            std::lock_guard lock(m_inputLock);
            flushPendingInputLocked();
        }
        if (fds[2].revents & POLLIN) {
            reapChild();
            watchChild = !m_childExited.load();
        }
    }
}

} // namespace trellium
