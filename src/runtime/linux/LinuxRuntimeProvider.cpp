#include "runtime/linux/LinuxRuntimeProvider.h"

#include "core/Files.h"
#include "core/Json.h"
#include "core/Log.h"
#include "core/Text.h"
#include "platform/vm/MACAddress.h"
#include "platform/vm/QemuVirtualMachine.h"
#include "remotedesktop/RemoteDesktopServer.h"
#include "remotedesktop/RuntimeDisplayHost.h"
#include "runtime/RuntimeError.h"
#include "runtime/RuntimeSessionManager.h"
#include "runtime/images/LinuxCloudInitManager.h"
#include "runtime/linux/LinuxSSHKeyManager.h"
#include "runtime/linux/LinuxSSHPortRegistry.h"
#include "runtime/linux/LinuxSerialConsoleRegistry.h"
#include "runtime/linux/LinuxVMBuilder.h"

#include <QDir>
#include <QFileInfo>

namespace trellium {

using namespace std::chrono_literals;

namespace {

const QString kArch = QStringLiteral("archlinux-x86_64");

const QString kDesktopServiceCommand = QStringLiteral(
    "sudo systemctl daemon-reload\n"
    "sudo systemctl enable trellium-desktop.service\n"
    "sudo systemctl restart trellium-desktop.service");
const QString kKeyboardCommand = QStringLiteral("DISPLAY=:0 setxkbmap -layout de -variant nodeadkeys");
const QString kMACCommand = QStringLiteral(
    "for i in /sys/class/net/*; do n=$(basename \"$i\"); [ \"$n\" != \"lo\" ] && cat \"$i/address\" && break; done");
const QString kPowerOffCommand = QStringLiteral("sudo poweroff || sudo shutdown -h now || true");

DomainError runtimeError(int code, const QString &message)
{
    return DomainError(QStringLiteral("Runtime"), code, message);
}

DomainError busy()
{
    return DomainError(QStringLiteral("Runtime"), 995,
                       QStringLiteral("Die Runtime wird gerade gestartet oder gestoppt. Bitte warte, bis der Vorgang "
                                      "abgeschlossen ist."));
}

bool isSSHItselfFailing(const std::exception &error)
{
    const auto *domain = dynamic_cast<const DomainError *>(&error);
    return domain && domain->domain() == QLatin1String("SSH") && domain->code() == 255;
}

} // namespace

LinuxRuntimeProvider::LinuxRuntimeProvider(RuntimeStore store) : LinuxRuntimeProvider(store, Dependencies{}) {}

LinuxRuntimeProvider::LinuxRuntimeProvider(RuntimeStore store, Dependencies dependencies)
    : m_store(store), m_dependencies(std::move(dependencies))
{
    if (!m_dependencies.makeMachine) {
        const QemuEnvironment environment = m_dependencies.environment;
        m_dependencies.makeMachine = [environment](const VirtualMachineConfiguration &configuration) {
            return std::make_shared<QemuVirtualMachine>(configuration, environment);
        };
    }
    if (!m_dependencies.ssh)
        m_dependencies.ssh = std::make_shared<LinuxSSHManager>();
    if (!m_dependencies.sleeper)
        m_dependencies.sleeper = MonotonicSleeper::shared();
}

LinuxRuntimeProvider::~LinuxRuntimeProvider()
{
    for (auto token : m_startTokens)
        token.cancel();
}

std::shared_ptr<VirtualMachine> LinuxRuntimeProvider::virtualMachine(const QUuid &id) const
{
    return m_vmCache.value(id);
}

QCoro::Task<void> LinuxRuntimeProvider::createRuntime(RuntimeConfig)
{
    throw RuntimeError::notImplemented();
    co_return;
}

void LinuxRuntimeProvider::saveAndNotify(const RuntimeConfig &record, const RuntimeUpdateHandler &onUpdate) const
{
    m_store.saveRuntimeConfig(record);
    if (onUpdate)
        onUpdate(record);
}

QCoro::Task<void> LinuxRuntimeProvider::pause(std::chrono::milliseconds duration, CancelToken token)
{
    co_await m_dependencies.sleeper->sleep(duration, token);
}

QCoro::Task<void> LinuxRuntimeProvider::prepareCloudInitSeed(RuntimeConfig record, bool forRuntime)
{
    const LinuxSSHKeyManager keys(m_diskManager);
    const QString key = keys.publicKey(record);
    const QString folder = m_diskManager.runtimeDirectory(record.id);
    LinuxCloudInitManager cloudInit;
    cloudInit.writeCloudInitFiles(record, folder, key, forRuntime);
    co_await cloudInit.createSeedISO(folder);
}

std::shared_ptr<LinuxVirtualMachineDelegate> LinuxRuntimeProvider::makeLifecycleDelegate(const QUuid &id) const
{
    return LinuxVirtualMachineDelegate::make(m_diskManager, id);
}

void LinuxRuntimeProvider::dumpLifecycleLog(const QUuid &id) const
{
    if (const auto delegate = m_vmDelegates.value(id))
        delegate->flush();
    LinuxVirtualMachineDelegate::dumpLifecycleLog(m_diskManager, id);
}

void LinuxRuntimeProvider::saveBootScreenshot(const QUuid &id)
{
    RuntimeDisplayHost::shared().saveDiagnosticSnapshot(
        id, kDisplayWidth, kDisplayHeight, m_diskManager.runtimeDirectory(id) + QStringLiteral("/logs/boot-screen.png"));
}

void LinuxRuntimeProvider::printSerialExcerpt(const QUuid &id) const
{
    QString log;
    try {
        log = QString::fromUtf8(readWholeFile(m_diskManager.runtimeDirectory(id) + QStringLiteral("/logs/serial.log")));
    } catch (const std::exception &) {
        return;
    }
    logLine(QStringLiteral("===== SERIAL LOG ====="));
    logLine(lastCharacters(log, 8000));
    logLine(QStringLiteral("======================"));
}

QCoro::Task<void> LinuxRuntimeProvider::startRuntime(QUuid id, RuntimeUpdateHandler onUpdate)
{
    // Replacing a running machine would orphan its QEMU, and a second QEMU
    // cannot open the disk anyway.
    if (m_operations.contains(id))
        throw busy();
    if (const auto machine = m_vmCache.value(id); machine && machine->state() != VirtualMachineState::stopped)
        throw runtimeError(995, QStringLiteral("Die Runtime läuft bereits. Stoppe sie zuerst."));

    m_operations.insert(id, Operation::starting);
    CancelToken token;
    m_startTokens.insert(id, token);
    Completion<void> finished;
    m_startFinished.insert(id, finished);

    std::exception_ptr failure;
    try {
        co_await runStart(id, onUpdate, token);
    } catch (...) {
        failure = std::current_exception();
    }
    m_operations.remove(id);
    m_startTokens.remove(id);
    m_startFinished.remove(id);
    finished.resolve();
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<void> LinuxRuntimeProvider::runStart(QUuid id, RuntimeUpdateHandler onUpdate, CancelToken token)
{
    RuntimeConfig record = m_store.readRuntime(id);
    const RuntimeConfig loaded = record;
    record.state = RuntimeState::starting;
    record.ipAddress.reset();
    saveAndNotify(record, onUpdate);

    std::shared_ptr<VirtualMachine> machine;
    std::exception_ptr failure;
    try {
        co_await prepareCloudInitSeed(record, true);
        logLine(QStringLiteral("START 1 load runtime"));
        const VirtualMachineConfiguration configuration = LinuxVMBuilder(m_diskManager).makeConfiguration(record);
        logLine(QStringLiteral("START 2 config created"));
        machine = m_dependencies.makeMachine(configuration);
        logLine(QStringLiteral("START 3 vm object created"));
        const auto delegate = makeLifecycleDelegate(id);
        machine->setDelegate(delegate);
        m_vmCache.insert(id, machine);
        logLine(QStringLiteral("START 4 before vm.start"));
        m_vmDelegates.insert(id, delegate);
        delegate->writeEntry(QStringLiteral("runtime start requested"));
        co_await machine->start();
        logLine(QStringLiteral("START 5 after vm.start state:"), QString::number(machine->stateCode()));
        delegate->writeEntry(QStringLiteral("runtime start succeeded state=%1").arg(machine->stateCode()));
        if (const auto port = machine->forwardedSSHPort())
            LinuxSSHPortRegistry::shared().setPort(id, *port);
        RuntimeDisplayHost::shared().attach(id, machine, kDisplayWidth, kDisplayHeight);
        record.state = RuntimeState::booting;
        saveAndNotify(record, onUpdate);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // Nothing this start made keeps running (the record keeps its state).
        co_await discardMachine(id);
        std::rethrow_exception(failure);
    }

    QString address;
    try {
        LinuxRuntimeIPResolver::Sources sources = m_dependencies.addressSources;
        sources.forwardedAddress = [this, id](const RuntimeConfig &) -> std::optional<QString> {
            const auto cached = m_vmCache.value(id);
            const auto port = cached ? cached->forwardedSSHPort() : std::nullopt;
            if (!port)
                return std::nullopt;
            LinuxSSHPortRegistry::shared().setPort(id, *port);
            return QStringLiteral("127.0.0.1");
        };
        LinuxRuntimeIPResolver resolver(m_dependencies.ssh, m_dependencies.sleeper, sources);
        const int attempts = record.distro == kArch ? 90 : 30;
        address = co_await resolver.resolveIPAddress(record, attempts, 2, token);

        record = m_store.readRuntime(id);
        record.ipAddress = address;
        record.state = RuntimeState::desktopPreparing;
        saveAndNotify(record, onUpdate);

        co_await waitForCloudInit(record, token);
        co_await m_dependencies.ssh->runCommand(record, kDesktopServiceCommand);
        co_await waitForDesktop(record, token);
        co_await m_dependencies.ssh->runCommand(record, kKeyboardCommand);

        record = m_store.readRuntime(id);
        record.ipAddress = address;
        record.state = RuntimeState::running;
        if (!record.initialStartCompletedAt)
            record.initialStartCompletedAt = QDateTime::currentDateTimeUtc();
        saveAndNotify(record, onUpdate);
        logLine(QStringLiteral("TRELLIUM desktop is ready"));
        // The screen as the runtime came up, for later questions about it.
        saveBootScreenshot(id);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        co_await failStart(id, loaded, onUpdate, failure);
        co_return;
    }

    try {
        const QString output = (co_await m_dependencies.ssh->runCommand(record, kMACCommand)).trimmed();
        // Only a real address replaces the one the machine was configured with.
        if (!MACAddress::fromString(output))
            throw runtimeError(994, QStringLiteral("Keine gültige MAC-Adresse erhalten: \"%1\"").arg(output));
        record.macAddress = output;
        saveAndNotify(record, onUpdate);
        logLine(QStringLiteral("Runtime MAC saved:"), output);
    } catch (const std::exception &error) {
        logLine(QStringLiteral("Failed to read runtime MAC:"), describeError(error));
    }
}

QCoro::Task<void> LinuxRuntimeProvider::failStart(QUuid id, RuntimeConfig original, RuntimeUpdateHandler onUpdate,
                                                  std::exception_ptr cause)
{
    printSerialExcerpt(id);
    saveBootScreenshot(id);
    dumpLifecycleLog(id);
    dumpWorkspaceNetworkDiagnostics(original);
    co_await discardMachine(id);

    RuntimeConfig record = m_store.readRuntime(id);
    record.state = RuntimeState::failed;
    record.ipAddress.reset();
    saveAndNotify(record, onUpdate);
    QString description;
    try {
        std::rethrow_exception(cause);
    } catch (...) {
        description = describeCurrentException();
    }
    logLine(QStringLiteral("Runtime IP resolve failed:"), description);
    std::rethrow_exception(cause);
}

QCoro::Task<void> LinuxRuntimeProvider::discardMachine(QUuid id)
{
    RuntimeDisplayHost::shared().detach(id);
    const auto machine = m_vmCache.value(id);
    bool gone = true;
    if (machine && machine->state() != VirtualMachineState::stopped) {
        try {
            co_await machine->stop();
        } catch (const std::exception &error) {
            gone = false;
            logLine(QStringLiteral("Runtime VM stop failed:"), describeError(error));
        }
    }
    if (gone) {
        m_vmCache.remove(id);
        m_vmDelegates.remove(id);
    }
    LinuxSerialConsoleRegistry::shared().stopCaptures(id);
    LinuxSSHPortRegistry::shared().removePort(id);
}

QCoro::Task<void> LinuxRuntimeProvider::stopRuntime(QUuid id, RuntimeUpdateHandler onUpdate)
{
    if (const auto running = m_operations.constFind(id); running != m_operations.constEnd()) {
        if (*running == Operation::stopping)
            throw busy();
        // A stop ends a start that is still under way; its pauses end at once.
        m_startTokens.value(id).cancel();
        Completion<void> finished = m_startFinished.value(id);
        co_await finished;
        if (m_operations.contains(id))
            throw busy();
    }
    m_operations.insert(id, Operation::stopping);

    std::exception_ptr failure;
    try {
        RuntimeConfig record = m_store.readRuntime(id);
        record.state = RuntimeState::stopping;
        saveAndNotify(record, onUpdate);

        RuntimeSessionManager::shared().closeTerminalSession(id);
        RemoteDesktopServer::shared().stop();
        co_await pause(300ms, {});
        RuntimeDisplayHost::shared().detach(id);
        co_await pause(200ms, {});

        if (record.ipAddress) {
            try {
                co_await m_dependencies.ssh->runCommand(record, kPowerOffCommand);
            } catch (const std::exception &) {
                // The guest may be unreachable or going down already.
            }
        }
        // Up to 8 s for the guest to power off; a machine that already has ends the wait.
        const auto machine = m_vmCache.value(id);
        for (auto waited = 0ms; waited < 8000ms; waited += 250ms) {
            if (machine && machine->state() == VirtualMachineState::stopped)
                break;
            co_await pause(250ms, {});
        }
        if (machine) {
            if (machine->state() != VirtualMachineState::stopped)
                co_await machine->stop();  // a machine that cannot be reaped stays known
            m_vmCache.remove(id);
        }
        LinuxSSHPortRegistry::shared().removePort(id);
        LinuxSerialConsoleRegistry::shared().stopCaptures(id);
        m_vmDelegates.remove(id);

        record.state = RuntimeState::stopped;
        saveAndNotify(record, onUpdate);
    } catch (...) {
        failure = std::current_exception();
    }
    m_operations.remove(id);
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<void> LinuxRuntimeProvider::deleteRuntime(QUuid id)
{
    const RuntimeConfig record = m_store.readRuntime(id);
    if (record.state != RuntimeState::created && record.state != RuntimeState::stopped
        && record.state != RuntimeState::failed)
        throw RuntimeError::invalidState(record.state);
    if (const auto machine = m_vmCache.value(id); machine && machine->state() != VirtualMachineState::stopped)
        throw RuntimeError::invalidState(record.state);
    if (m_operations.contains(id))
        throw busy();

    auto &server = RemoteDesktopServer::shared();
    if (server.currentSource() == RemoteDesktopSource::runtime(id))
        server.stop();
    RuntimeDisplayHost::shared().detach(id);
    RuntimeSessionManager::shared().closeTerminalSession(id);
    LinuxSerialConsoleRegistry::shared().stopCaptures(id);
    m_vmCache.remove(id);
    m_vmDelegates.remove(id);
    LinuxSSHPortRegistry::shared().removePort(id);
    m_store.deleteRuntimeFolder(id);
    co_return;
}

QString LinuxRuntimeProvider::cloudInitScript()
{
    return QStringLiteral(
        "s=$(cloud-init status 2>/dev/null || true)\n"
        "echo \"$s\"\n"
        "test -f /etc/trellium-runtime.conf && test -f /home/trellium/.ssh/authorized_keys && echo TRELLIUM_READY || true");
}

QString LinuxRuntimeProvider::templateScript(const QString &distro)
{
    const QString head = QStringLiteral(
        "if command -v xinit >/dev/null 2>&1 &&\n"
        "   command -v xfce4-panel >/dev/null 2>&1 &&\n"
        "   command -v xfdesktop >/dev/null 2>&1 &&\n"
        "   command -v xfwm4 >/dev/null 2>&1 &&\n"
        "   command -v thunar >/dev/null 2>&1 &&\n"
        "   command -v setxkbmap >/dev/null 2>&1 &&\n"
        "   test -f /etc/systemd/system/trellium-desktop.service\n"
        "then\n"
        "  ");
    const QString arch = QStringLiteral(
        "KERNEL=\"$(find /usr/lib/modules -maxdepth 3 -type f -name vmlinuz | sort | tail -n 1)\"\n"
        "test -f \"$KERNEL\"\n"
        "\n"
        "VERSION=\"$(basename \"$(dirname \"$KERNEL\")\")\"\n"
        "test -f \"/usr/lib/modules/$VERSION/trellium-initramfs.img\"\n"
        "\n"
        "test -n \"$(findmnt -no UUID / | tr -d '[:space:]')\"");
    const QString tail = QStringLiteral("\n  echo READY\nelse\n  echo WAITING\nfi");
    return head + (distro == kArch ? arch : QString()) + tail;
}

QString LinuxRuntimeProvider::desktopScript()
{
    return QStringLiteral(
        "if journalctl -u trellium-desktop.service -n 30 --no-pager   | grep -q \"Cannot open /dev/tty0\"; then\n"
        "  echo FATAL_TTY\n"
        "elif systemctl is-active --quiet trellium-desktop.service   && DISPLAY=:0 xset q >/dev/null 2>&1   && "
        "pgrep -x xfwm4 >/dev/null   && pgrep -x xfdesktop >/dev/null   && pgrep -x xfce4-panel >/dev/null; then\n"
        "  echo READY\n"
        "else\n"
        "  echo WAITING\n"
        "fi");
}

QCoro::Task<void> LinuxRuntimeProvider::runProbe(RuntimeConfig record, ProbeRules rules, CancelToken token)
{
    const auto ssh = m_dependencies.ssh;
    for (int attempt = 1;; ++attempt) {
        QString output;
        QString failure;
        bool failed = false;
        try {
            output = co_await ssh->runCommand(record, rules.script);
        } catch (const std::exception &error) {
            if (!rules.retriesSSHFailure(error))
                throw;
            failed = true;
            failure = describeError(error);
        }
        if (failed) {
            logLine(rules.unavailableLine.arg(attempt), failure);
            co_await pause(rules.unavailablePause, token);
        } else if (rules.isReady(output)) {
            logLine(rules.readyLine);
            co_return;
        } else {
            // Throws for an answer that will never turn into ready.
            rules.checkFatal(output);
            logLine(rules.notReadyLine.arg(attempt), output);
            co_await pause(2s, token);
        }
        if (attempt == rules.attempts)
            throw rules.timeout;
    }
}

QCoro::Task<void> LinuxRuntimeProvider::waitForCloudInit(RuntimeConfig record, CancelToken token)
{
    ProbeRules rules{cloudInitScript(),
                     900,
                     [](const std::exception &) { return true; },
                     3s,
                     QStringLiteral("Cloud-init SSH temporarily unavailable attempt %1:"),
                     [](const QString &output) {
                         return output.contains(QLatin1String("done")) || output.contains(QLatin1String("TRELLIUM_READY"))
                             || output.contains(QLatin1String("READY"));
                     },
                     QStringLiteral("Cloud-init ready"),
                     [](const QString &output) {
                         // cloud-init itself prints "status: error".
                         if (output.contains(QLatin1String("error"), Qt::CaseInsensitive))
                             throw runtimeError(998, QStringLiteral("Cloud-Init konnte die Runtime nicht vollständig vorbereiten."));
                     },
                     QStringLiteral("Cloud-init not ready attempt %1:"),
                     runtimeError(997, QStringLiteral("Cloud-Init wurde nicht rechtzeitig abgeschlossen."))};
    co_await runProbe(std::move(record), std::move(rules), token);
}

QCoro::Task<void> LinuxRuntimeProvider::waitForTemplateProvisioning(RuntimeConfig record, CancelToken token)
{
    const QString script = templateScript(record.distro);
    // The guest restarts its SSH server while it provisions; only ssh's own
    // failure is worth another try.
    ProbeRules rules{script,
                     180,
                     [](const std::exception &error) { return isSSHItselfFailing(error); },
                     2s,
                     QStringLiteral("Template provisioning SSH temporarily unavailable attempt %1:"),
                     [](const QString &output) { return output.contains(QLatin1String("READY")); },
                     QStringLiteral("Template provisioning ready"),
                     [](const QString &) {},
                     QStringLiteral("Template provisioning not ready attempt %1:"),
                     runtimeError(996, QStringLiteral("Template-Provisioning wurde nicht vollständig abgeschlossen."))};
    co_await runProbe(std::move(record), std::move(rules), token);
}

QCoro::Task<void> LinuxRuntimeProvider::waitForDesktop(RuntimeConfig record, CancelToken token)
{
    ProbeRules rules{desktopScript(),
                     90,
                     [](const std::exception &) { return true; },
                     2s,
                     QStringLiteral("Desktop check failed attempt %1:"),
                     [](const QString &output) { return output.contains(QLatin1String("READY")); },
                     QStringLiteral("Runtime desktop ready"),
                     [](const QString &output) {
                         if (output.contains(QLatin1String("FATAL_TTY")))
                             throw runtimeError(996, QStringLiteral("Xorg konnte nicht auf die virtuelle Konsole zugreifen."));
                     },
                     QStringLiteral("Desktop not ready attempt %1:"),
                     runtimeError(999, QStringLiteral("TRELLIUM Desktop wurde nicht rechtzeitig bereit."))};
    co_await runProbe(std::move(record), std::move(rules), token);
}

void LinuxRuntimeProvider::dumpWorkspaceNetworkDiagnostics(const RuntimeConfig &record) const
{
    const QString folder = record.workspacePath;
    QStringList entries;
    try {
        entries = listDirectory(folder);
    } catch (const std::exception &) {
        logLine(QStringLiteral("No workspace diagnostics found; workspace not readable:"), folder);
        return;
    }
    QStringList reports;
    for (const QString &name : entries) {
        if (name.startsWith(QLatin1String("trellium-network-debug-")))
            reports << name;
    }
    reports.sort();
    if (reports.isEmpty()) {
        logLine(QStringLiteral("No TRELLIUM network diagnostics in workspace:"), folder);
        return;
    }
    for (const QString &name : reports) {
        const QString path = QDir(folder).filePath(name);
        QString content;
        try {
            content = QString::fromUtf8(readWholeFile(path));
        } catch (const std::exception &) {
            logLine(QStringLiteral("Failed to read workspace diagnostic:"), path);
            continue;
        }
        logLine(QStringLiteral("===== WORKSPACE NETWORK DIAGNOSTIC: %1 =====").arg(name));
        logLine(lastCharacters(content, 12000));
        logLine(QStringLiteral("===== END WORKSPACE NETWORK DIAGNOSTIC ====="));
    }
}

} // namespace trellium
