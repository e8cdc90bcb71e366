#include "platform/vm/QemuEnvironment.h"

#include "platform/vm/VirtiofsdCommand.h"

#include "core/Descriptor.h"
#include "core/Errors.h"
#include "core/Files.h"
#include "core/Log.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace trellium {

QString QemuEnvironment::resolvedSocketRoot() const
{
    if (!socketRoot.isEmpty())
        return socketRoot;
    QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (base.isEmpty() || !isDirectory(base))
        base = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return base + QStringLiteral("/trellium-vm");
}

VirtualMachineAccelerator QemuEnvironment::resolvedAccelerator() const
{
    return accelerator ? *accelerator : probeAccelerator(*this);
}

QString QemuEnvironment::resolvedVirtiofsdSandbox() const
{
    return virtiofsdSandbox.isEmpty() ? probeVirtiofsdSandbox(*this) : virtiofsdSandbox;
}

bool QemuEnvironment::resolvedVirtiofsdUserNamespace() const
{
    return virtiofsdUserNamespace.value_or(::geteuid() != 0);
}

QemuEnvironment &QemuEnvironment::shared()
{
    static QemuEnvironment environment = [] {
        QemuEnvironment e;
        const QByteArray forced = qgetenv("TRELLIUM_VM_ACCEL");
        if (forced == "kvm")
            e.accelerator = VirtualMachineAccelerator::kvm;
        else if (forced == "tcg")
            e.accelerator = VirtualMachineAccelerator::tcg;
        return e;
    }();
    return environment;
}

namespace {

// Probes run once per process and tool path; every later caller gets the answer.
template<typename T>
T decideOnce(const QString &key, const std::function<T()> &decide)
{
    static std::mutex mutex;
    static QHash<QString, T> decided;
    std::lock_guard lock(mutex);
    const auto it = decided.constFind(key);
    if (it != decided.constEnd())
        return *it;
    const T choice = decide();
    decided.insert(key, choice);
    return choice;
}

QString virtiofsdSandboxChoice(const QemuEnvironment &environment, bool userNamespace);

// Starts the firmware under KVM for a moment and asks QEMU for its status.
std::optional<QString> kvmFailure(const QemuEnvironment &environment)
{
    const int kvm = ::open("/dev/kvm", O_RDWR | O_CLOEXEC);
    if (kvm < 0)
        return QStringLiteral("/dev/kvm nicht nutzbar");
    ::close(kvm);

    QTemporaryDir dir;
    const QString vars = dir.filePath(QStringLiteral("vars.fd"));
    if (!QFile::copy(QStringLiteral("/usr/share/OVMF/OVMF_VARS_4M.fd"), vars))
        return QStringLiteral("keine EFI-Variablenvorlage");
    QProcess qemu;
    qemu.setProgram(environment.qemuPath);
    qemu.setArguments({QStringLiteral("-nodefaults"), QStringLiteral("-no-user-config"), QStringLiteral("-machine"),
                       QStringLiteral("q35"), QStringLiteral("-accel"), QStringLiteral("kvm"), QStringLiteral("-m"),
                       QStringLiteral("256"), QStringLiteral("-display"), QStringLiteral("none"),
                       QStringLiteral("-drive"),
                       QStringLiteral("if=pflash,format=raw,readonly=on,file=") + environment.firmwareCodePath,
                       QStringLiteral("-drive"), QStringLiteral("if=pflash,format=raw,file=") + vars,
                       QStringLiteral("-qmp"), QStringLiteral("stdio")});
    qemu.setChildProcessModifier([]() { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    qemu.start();
    if (!qemu.waitForStarted(5000))
        return QStringLiteral("QEMU startet nicht");
    qemu.write("{\"execute\":\"qmp_capabilities\"}\n");
    // Firmware that KVM cannot run fails within milliseconds; give it a while.
    qemu.waitForFinished(1500);
    QString answer;
    if (qemu.state() == QProcess::Running) {
        qemu.write("{\"execute\":\"query-status\"}\n");
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000 && !answer.contains(QLatin1String("\"status\""))) {
            qemu.waitForReadyRead(200);
            answer += QString::fromUtf8(qemu.readAllStandardOutput());
        }
        qemu.kill();
        qemu.waitForFinished(5000);
    }
    if (answer.contains(QLatin1String("\"running\"")) && !answer.contains(QLatin1String("internal-error")))
        return std::nullopt;
    if (answer.contains(QLatin1String("internal-error")))
        return QStringLiteral("KVM internal error in der Firmware");
    return QStringLiteral("QEMU mit KVM beendet oder ohne Antwort");
}

} // namespace

VirtualMachineAccelerator probeAccelerator(const QemuEnvironment &environment)
{
    return decideOnce<VirtualMachineAccelerator>(environment.qemuPath, [&environment] {
        const auto failure = kvmFailure(environment);
        if (failure)
            logLine(QStringLiteral("VM accelerator: tcg (KVM nicht verwendbar: ") + *failure + QLatin1Char(')'));
        else
            logLine(QStringLiteral("VM accelerator: kvm"));
        return failure ? VirtualMachineAccelerator::tcg : VirtualMachineAccelerator::kvm;
    });
}


QString probeVirtiofsdSandbox(const QemuEnvironment &environment)
{
    const bool userNamespace = environment.resolvedVirtiofsdUserNamespace();
    const QString key = environment.virtiofsdPath + (userNamespace ? QStringLiteral(" userns") : QString());
    return decideOnce<QString>(key, [&environment, userNamespace] {
        return virtiofsdSandboxChoice(environment, userNamespace);
    });
}

namespace {

QString virtiofsdSandboxChoice(const QemuEnvironment &environment, bool userNamespace)
{
    QString choice = QStringLiteral("namespace");
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("probe.sock"));
    createDirectories(dir.filePath(QStringLiteral("source")));
    QProcess virtiofsd;
    try {
        Descriptor listener = VirtiofsdCommand::listen(socket);
        const VirtiofsdCommand command = VirtiofsdCommand::make(
            environment, {dir.filePath(QStringLiteral("source")), listener.get(), choice, userNamespace});
        QByteArray errors;
        const bool ready = command.startUntilReady(virtiofsd, std::move(listener), std::chrono::seconds(5), errors);
        // The sandbox is set up once a client has connected; where namespaces
        // are not allowed virtiofsd then ends at once. A virtiofsd that did
        // not even get ready is left to the start to report.
        if (ready) {
            const Descriptor client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const QByteArray path = QFile::encodeName(socket);
            memcpy(address.sun_path, path.constData(), size_t(path.size()));
            if (client.isValid()
                && ::connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0
                && virtiofsd.waitForFinished(500))
                choice = QStringLiteral("chroot");
        }
    } catch (const Error &error) {
        logLine(QStringLiteral("virtiofsd sandbox probe:"), error.localizedDescription());
    }
    if (virtiofsd.state() != QProcess::NotRunning) {
        virtiofsd.kill();
        virtiofsd.waitForFinished(5000);
    }
    logLine(QStringLiteral("virtiofsd sandbox:"), choice);
    return choice;
}

} // namespace

} // namespace trellium
