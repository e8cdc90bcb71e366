#include "platform/vm/QemuVirtualMachine.h"

#include "platform/vm/VirtiofsdCommand.h"

#include "core/Descriptor.h"
#include "core/Files.h"
#include "core/Json.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace trellium {

namespace {

constexpr auto kGreetingTimeout = std::chrono::seconds(30);
constexpr auto kQuitTimeout = std::chrono::seconds(10);
constexpr auto kKillTimeout = std::chrono::seconds(10);
constexpr auto kShareReadyTimeout = std::chrono::seconds(15);
constexpr qsizetype kKeptErrorBytes = 65536;

void keepTail(QByteArray &buffer, const QByteArray &more)
{
    buffer.append(more);
    if (buffer.size() > kKeptErrorBytes)
        buffer = buffer.right(kKeptErrorBytes);
}

QString lastLines(const QByteArray &output, int count)
{
    QStringList lines;
    for (const QByteArray &line : output.split('\n')) {
        const QString text = QString::fromUtf8(line.trimmed());
        if (!text.isEmpty())
            lines << text;
    }
    return lines.mid(std::max<qsizetype>(0, lines.size() - count)).join(QLatin1Char(' '));
}

QProcess *makeChild(QObject *parent, const QString &program, const QStringList &arguments, QList<int> inherited)
{
    auto *process = new QProcess(parent);
    process->setProgram(program);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setChildProcessModifier([inherited]() {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (const int fd : inherited)
            ::fcntl(fd, F_SETFD, 0);  // inherited by this child only
    });
    return process;
}

} // namespace

QemuVirtualMachine::QemuVirtualMachine(VirtualMachineConfiguration configuration, QemuEnvironment environment)
    : m_configuration(std::move(configuration)), m_environment(std::move(environment))
{
}

QemuVirtualMachine::~QemuVirtualMachine()
{
    killAll();
    removeSocketFolder();
}

void QemuVirtualMachine::removeSocketFolder()
{
    if (!m_socketFolder.isEmpty())
        QDir(std::exchange(m_socketFolder, QString())).removeRecursively();
}

QString QemuVirtualMachine::vncSocketPath() const
{
    return m_socketFolder.isEmpty() ? QString() : m_socketFolder + QStringLiteral("/vnc.sock");
}

qint64 QemuVirtualMachine::processId() const
{
    return m_qemu ? m_qemu->processId() : 0;
}

QList<qint64> QemuVirtualMachine::shareProcessIds() const
{
    QList<qint64> ids;
    for (QProcess *share : m_shares)
        ids << share->processId();
    return ids;
}

void QemuVirtualMachine::setState(VirtualMachineState state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(int(state));
}

std::optional<uint16_t> QemuVirtualMachine::parseForwardedSSHPort(const QString &usernet)
{
    // "  TCP[HOST_FORWARD]  13       127.0.0.1 35757       10.0.2.15    22     0     0"
    static const QRegularExpression line(QStringLiteral(
        R"(TCP\[HOST_FORWARD\]\s+\S+\s+(\S+)\s+(\d+)\s+(\S+)\s+(\d+))"));
    auto matches = line.globalMatch(usernet);
    while (matches.hasNext()) {
        const auto match = matches.next();
        if (match.captured(4) == QLatin1String("22")) {
            const uint port = match.captured(2).toUInt();
            if (port > 0 && port < 65536)
                return uint16_t(port);
        }
    }
    return std::nullopt;
}

QString QemuVirtualMachine::lastErrorLine() const
{
    const QList<QByteArray> lines = m_stderr.trimmed().split('\n');
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QString text = QString::fromUtf8(it->trimmed());
        if (!text.isEmpty() && !text.contains(QLatin1String("warning:")))
            return text;
    }
    return lines.isEmpty() ? QString() : QString::fromUtf8(lines.last().trimmed());
}

DomainError QemuVirtualMachine::startError(const QString &fallback) const
{
    // QEMU's explanation may span lines ("Failed to get "write" lock" / "Is
    // another process using the image?"); warnings are noise here.
    QStringList lines;
    for (const QByteArray &line : m_stderr.split('\n')) {
        const QString text = QString::fromUtf8(line.trimmed());
        if (!text.isEmpty() && !text.contains(QLatin1String("warning:")))
            lines << text;
    }
    return DomainError(QStringLiteral("VirtualMachine"), 1,
                       QStringLiteral("Die virtuelle Maschine konnte nicht gestartet werden: ")
                           + (lines.isEmpty() ? fallback : lines.join(QLatin1Char(' '))));
}

QCoro::Task<void> QemuVirtualMachine::startShares()
{
    const bool userNamespace = m_environment.resolvedVirtiofsdUserNamespace();
    const QString sandbox = m_environment.resolvedVirtiofsdSandbox();
    for (qsizetype i = 0; i < m_configuration.directoryShares.size(); ++i) {
        const auto &share = m_configuration.directoryShares.at(i);
        Descriptor listener = VirtiofsdCommand::listen(shareSocketPath(i));
        const VirtiofsdCommand command = VirtiofsdCommand::make(
            m_environment, {QDir(share.directoryPath).absolutePath(), listener.get(), sandbox, userNamespace});
        requireExecutable(command.program);
        requireExecutable(m_environment.virtiofsdPath);
        QProcess *process = makeChild(this, command.program, command.arguments, {listener.get()});
        process->setProcessChannelMode(QProcess::SeparateChannels);
        m_shares.append(process);
        m_shareErrors.append(QByteArray());
        Completion<void> ready;
        connect(process, &QProcess::readyReadStandardError, this, [this, process, i, ready]() mutable {
            keepTail(m_shareErrors[i], process->readAllStandardError());
            if (m_shareErrors.at(i).contains(VirtiofsdCommand::readyMessage.toUtf8()))
                ready.resolve();
        });
        connect(process, &QProcess::finished, this, [this, process, i, ready, userNamespace]() mutable {
            keepTail(m_shareErrors[i], process->readAllStandardError());
            QString reason = lastLines(m_shareErrors.at(i), 3);
            if (userNamespace && reason.contains(QLatin1String("unshare:")))
                reason += QStringLiteral(" (ohne root-Rechte braucht die Freigabe das Paket uidmap und "
                                         "untergeordnete IDs des Benutzers in /etc/subuid und /etc/subgid)");
            ready.fail(DomainError(QStringLiteral("VirtualMachine"), 1,
                                   QStringLiteral("Die Ordnerfreigabe konnte nicht gestartet werden: ")
                                       + reason.trimmed()));
        });
        process->start();
        const bool started = process->waitForStarted(10000);
        listener.reset();  // virtiofsd has its own copy now
        if (!started)
            throw DomainError(QStringLiteral("VirtualMachine"), 1,
                              QStringLiteral("virtiofsd konnte nicht gestartet werden: ") + process->errorString());
        QTimer::singleShot(kShareReadyTimeout, this, [ready, path = share.directoryPath]() mutable {
            ready.fail(TimeoutError(QStringLiteral("Die Ordnerfreigabe für %1 wurde nicht bereit").arg(path)));
        });
        co_await ready;
    }
}

QString QemuVirtualMachine::shareSocketPath(qsizetype index) const
{
    return m_socketFolder + QStringLiteral("/fs%1.sock").arg(index);
}

QCoro::Task<void> QemuVirtualMachine::start()
{
    if (m_state != VirtualMachineState::stopped && m_state != VirtualMachineState::error)
        throw DomainError(QStringLiteral("VirtualMachine"), 1,
                          QStringLiteral("Die virtuelle Maschine läuft bereits."));
    m_configuration.validate();
    killAll();
    m_stderr.clear();
    m_sshPort.reset();
    m_stopRequested = false;
    m_guestStopped = false;
    setState(VirtualMachineState::starting);

    try {
        // A fresh private folder per start: no stale sockets, nobody else connects.
        removeSocketFolder();
        const QString root = m_environment.resolvedSocketRoot();
        createDirectories(root);
        m_socketFolder = root + QLatin1Char('/')
            + QString::number(QRandomGenerator::global()->generate64(), 36).left(10);
        createDirectories(m_socketFolder);
        QFile::setPermissions(m_socketFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (vncSocketPath().toUtf8().size() >= 108)
            throw DomainError(QStringLiteral("VirtualMachine"), 1,
                              QStringLiteral("Der Socket-Pfad ist zu lang: ") + vncSocketPath());

        requireExecutable(m_environment.qemuPath);
        co_await startShares();

        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            throw FileError::fromErrno(QStringLiteral("QMP-Verbindung anlegen"), m_socketFolder, errno);
        Descriptor qemuEnd(pair[1]);
        m_qmp = new QmpClient(pair[0], this);

        VirtualMachineConfiguration::Runtime runtime;
        runtime.qmpDescriptor = qemuEnd.get();
        for (qsizetype i = 0; i < m_configuration.directoryShares.size(); ++i)
            runtime.shareSocketPaths << shareSocketPath(i);
        runtime.vncSocketPath = vncSocketPath();
        runtime.accelerator = m_environment.resolvedAccelerator();
        runtime.restrictNetwork = m_environment.restrictNetwork;

        m_qemu = makeChild(this, m_environment.qemuPath, m_configuration.qemuArguments(m_environment, runtime),
                           m_configuration.inheritedDescriptors(runtime));
        connect(m_qemu, &QProcess::readyReadStandardError, this, [this]() {
            m_stderr.append(m_qemu->readAllStandardError());
            if (m_stderr.size() > 65536)
                m_stderr = m_stderr.right(65536);
        });
        connect(m_qemu, &QProcess::finished, this, &QemuVirtualMachine::onQemuFinished);
        connect(m_qmp, &QmpClient::eventReceived, this, [this](const QString &event, const QJsonObject &data) {
            if (event == QLatin1String("SHUTDOWN") && data.value(QLatin1String("guest")).toBool())
                m_guestStopped = true;
        });
        m_qemu->start();
        const bool started = m_qemu->waitForStarted(10000);
        qemuEnd.reset();  // QEMU has its own copy now
        if (!started)
            throw DomainError(QStringLiteral("VirtualMachine"), 1,
                              QStringLiteral("QEMU konnte nicht gestartet werden: ") + m_qemu->errorString());

        QString failure;
        try {
            co_await m_qmp->negotiate(kGreetingTimeout);
            const QJsonObject usernetCommand{{QStringLiteral("command-line"), QStringLiteral("info usernet")}};
            const QJsonValue usernet = co_await m_qmp->execute(QStringLiteral("human-monitor-command"), usernetCommand);
            m_sshPort = parseForwardedSSHPort(usernet.toString());
            co_await m_qmp->execute(QStringLiteral("cont"));
        } catch (...) {
            failure = describeCurrentException();
        }
        if (!failure.isEmpty()) {
            // QEMU explains on standard error why it ended; wait for that.
            co_await waitForExit(std::chrono::seconds(5));
            if (m_qemu)
                m_stderr.append(m_qemu->readAllStandardError());
            // A share that ended explains QEMU's lost connection to it.
            for (qsizetype i = 0; i < m_shares.size(); ++i) {
                if (m_shares.at(i)->state() == QProcess::NotRunning)
                    m_stderr.append("\nvirtiofsd: " + lastLines(m_shareErrors.at(i), 3).toUtf8());
            }
            throw startError(failure);
        }
        if (m_state != VirtualMachineState::starting)
            throw startError(QStringLiteral("QEMU wurde während des Starts beendet."));
        setState(VirtualMachineState::running);
    } catch (...) {
        m_stopRequested = true;
        killAll();
        removeSocketFolder();
        setState(VirtualMachineState::stopped);
        throw;
    }
}

void QemuVirtualMachine::requestStop()
{
    if (m_qmp && m_state == VirtualMachineState::running)
        m_qmp->send(QStringLiteral("system_powerdown"));
}

QCoro::Task<bool> QemuVirtualMachine::waitForExit(std::chrono::milliseconds timeout)
{
    if (!m_qemu || m_qemu->state() == QProcess::NotRunning)
        co_return true;
    Completion<bool> exited;
    m_exitWaiters.push_back(exited);
    QTimer::singleShot(timeout, this, [exited]() mutable { exited.resolve(false); });
    co_return co_await exited;
}

QCoro::Task<void> QemuVirtualMachine::stop()
{
    if (!m_qemu || m_qemu->state() == QProcess::NotRunning) {
        killAll();
        setState(VirtualMachineState::stopped);
        co_return;
    }
    m_stopRequested = true;
    setState(VirtualMachineState::stopping);
    if (m_qmp && m_qmp->isConnected())
        m_qmp->send(QStringLiteral("quit"));
    if (!co_await waitForExit(kQuitTimeout)) {
        m_qemu->kill();
        if (!co_await waitForExit(kKillTimeout)) {
            setState(VirtualMachineState::error);
            throw DomainError(QStringLiteral("VirtualMachine"), 3,
                              QStringLiteral("Die virtuelle Maschine konnte nicht beendet werden."));
        }
    }
    killAll();
    setState(VirtualMachineState::stopped);
}

void QemuVirtualMachine::onQemuFinished()
{
    auto waiters = std::exchange(m_exitWaiters, {});
    for (auto &waiter : waiters)
        waiter.resolve(true);
    m_stderr.append(m_qemu->readAllStandardError());
    // Shares end with their machine.
    for (QProcess *share : m_shares) {
        if (share->state() != QProcess::NotRunning)
            share->kill();
    }
    if (m_stopRequested || m_state == VirtualMachineState::starting) {
        if (m_state == VirtualMachineState::starting)
            setState(VirtualMachineState::stopped);
        return;
    }
    auto delegate = m_delegate.lock();
    if (m_guestStopped) {
        setState(VirtualMachineState::stopped);
        if (delegate)
            delegate->guestDidStop(*this);
        return;
    }
    setState(VirtualMachineState::error);
    const QString line = lastErrorLine();
    const QString detail = line.isEmpty()
        ? (m_qemu->exitStatus() == QProcess::CrashExit ? QStringLiteral("QEMU wurde durch ein Signal beendet.")
                                                        : QStringLiteral("QEMU endete mit Status %1.").arg(m_qemu->exitCode()))
        : line;
    if (delegate)
        delegate->didStopWithError(
            *this, DomainError(QStringLiteral("VirtualMachine"), 2,
                               QStringLiteral("Die virtuelle Maschine wurde unerwartet beendet: ") + detail));
}

void QemuVirtualMachine::killAll()
{
    if (m_qmp) {
        m_qmp->deleteLater();
        m_qmp = nullptr;
    }
    QList<QProcess *> processes = m_shares;
    if (m_qemu)
        processes.prepend(m_qemu);
    for (QProcess *process : processes) {
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
        process->deleteLater();
    }
    m_qemu = nullptr;
    m_shares.clear();
    m_shareErrors.clear();
    auto waiters = std::exchange(m_exitWaiters, {});
    for (auto &waiter : waiters)
        waiter.resolve(true);
}

} // namespace trellium
