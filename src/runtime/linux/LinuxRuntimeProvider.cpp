#include "runtime/linux/LinuxRuntimeProvider.h"

#include "core/Files.h"
#include "core/Json.h"
#include "core/Log.h"
#include "core/Settings.h"
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
#include "runtime/linux/LinuxTemplatePreparation.h"
#include "runtime/linux/LinuxVMBuilder.h"

#include <QDir>
#include <QFileInfo>

namespace trellium {

using namespace std::chrono_literals;

namespace {

const QString kArch = QStringLiteral("archlinux-x86_64");
// How "cloud-init status" reports a run that ended in error.
const QString kCloudInitFailed = QStringLiteral("status: error");
// The end of each workspace diagnostic that a failed start prints.
constexpr int kDiagnosticCharacters = 12000;

const QString kDesktopServiceCommand = QStringLiteral(
    "sudo systemctl daemon-reload\n"
    "sudo systemctl enable trellium-desktop.service\n"
    "sudo systemctl restart trellium-desktop.service");
const QString kKeyboardCommand = QStringLiteral("DISPLAY=:0 setxkbmap -layout de -variant nodeadkeys");
const QString kMACCommand = QStringLiteral(
    "for i in /sys/class/net/*; do n=$(basename \"$i\"); [ \"$n\" != \"lo\" ] && cat \"$i/address\" && break; done");
const QString kPowerOffCommand = QStringLiteral("sudo poweroff || sudo shutdown -h now || true");

// Bounds for the guest commands that finish within seconds on a healthy
// guest; a frozen guest or a hung command must not hold a start or stop
// forever.
constexpr std::chrono::milliseconds kShortCommandLimit = 60s;
// One probe attempt: ssh's handshake plus "cloud-init status" (a Python
// start) or the journal, systemctl and X queries take seconds to tens of
// seconds on a busy 2-CPU guest without hardware acceleration.
constexpr std::chrono::milliseconds kProbeCommandLimit = 120s;
constexpr std::chrono::milliseconds kPowerOffLimit = 30s;
// The service restart waits for cloud-init's last stage to end: about 45 s
// on a 2-CPU guest without hardware acceleration, minutes on a loaded host.
constexpr std::chrono::milliseconds kDesktopServiceLimit = 15min;

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

// Guest output ends with a line feed; log lines add their own.
QString withoutTrailingLineBreaks(QString text)
{
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    return text;
}

// ssh's own failure (connection, authentication, a guest that no longer
// answers its keep-alive) or an attempt cut off at its limit.
bool isSSHItselfFailing(const std::exception &error)
{
    if (dynamic_cast<const TimeoutError *>(&error))
        return true;
    const auto *domain = dynamic_cast<const DomainError *>(&error);
    return domain && domain->domain() == QLatin1String("SSH") && domain->code() == 255;
}

// Forced stop of a machine whose provider is gone; holds it until stopped.
QCoro::Task<void> stopUnownedMachine(std::shared_ptr<VirtualMachine> machine)
{
    if (machine->state() == VirtualMachineState::stopped)
        co_return;
    try {
        co_await machine->stop();
    } catch (const std::exception &error) {
        logLine(QStringLiteral("Runtime VM stop failed:"), describeError(error));
    }
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
    LinuxImageManager::Dependencies images = m_dependencies.images;
    if (!images.prepareTemplate) {
        // Each preparation boots its template on a provider of its own.
        const Dependencies forTemplates = m_dependencies;
        images.prepareTemplate = [forTemplates](QString distro, QString sourceDisk, QString templateDisk) {
            return LinuxTemplatePreparation::run(forTemplates, distro, sourceDisk, templateDisk);
        };
    }
    m_imageManager = LinuxImageManager(m_diskManager, images);
}

LinuxRuntimeProvider::~LinuxRuntimeProvider()
{
    // Operations resumed from here on end without touching the provider.
    m_lifetime.end();
    for (auto &operation : m_operations)
        operation.token.cancel();
    // No machine outlives its provider. One still starting is stopped by its
    // start once that returns, one stopping by its own stop.
    for (auto it = m_vmCache.cbegin(); it != m_vmCache.cend(); ++it) {
        RuntimeDisplayHost::shared().detach(it.key());
        LinuxSerialConsoleRegistry::shared().stopCaptures(it.key());
        LinuxSSHPortRegistry::shared().removePort(it.key());
        const VirtualMachineState state = it.value()->state();
        if (state != VirtualMachineState::starting && state != VirtualMachineState::stopping)
            startDetached(stopUnownedMachine(it.value()), QStringLiteral("Runtime VM stop"));
    }
}

std::shared_ptr<VirtualMachine> LinuxRuntimeProvider::virtualMachine(const QUuid &id) const
{
    return m_vmCache.value(id);
}

void LinuxRuntimeProvider::cancelOperation(const QUuid &id)
{
    if (const auto it = m_operations.find(id); it != m_operations.end())
        it->token.cancel();
}

QCoro::Task<void> LinuxRuntimeProvider::createRuntime(RuntimeConfig config)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    // The image work outlives a provider destroyed meanwhile.
    const LinuxImageManager images = m_imageManager;
    RuntimeConfig record = config;
    if (!record.macAddress)
        record.macAddress = MACAddress::randomLocallyAdministered().string();
    // Throws runtimeAlreadyExists for a folder that is there: that one is never ours to remove.
    m_store.createRuntimeFolder(record.id);
    const QString folder = m_diskManager.runtimeDirectory(record.id);
    std::exception_ptr failure;
    try {
        m_diskManager.ensureRuntimeDirectory(record.id);
        const QString key = LinuxSSHKeyManager(m_diskManager).publicKey(record);
        co_await images.prepareRuntimeImage(record.distro);
        co_await images.copyBaseImage(record.distro, record.id);
        alive.requireAlive();
        const QString base = images.baseImageDirectory(record.distro);
        if (record.distro == kArch) {
            for (const QString &name : {QStringLiteral("efi-variable-store"), QStringLiteral("machine-identifier")}) {
                if (!itemExists(base + QLatin1Char('/') + name))
                    continue;
                const QString from = base + QLatin1Char('/') + name;
                const QString to = folder + QLatin1Char('/') + name;
                auto copy = [from, to]() { copyFileSparse(from, to); };
                co_await runOnWorker(copy);
                alive.requireAlive();
            }
        }
        m_diskManager.resizeRuntimeDisk(record);
        if (record.distro != kArch) {
            m_diskManager.ensureRuntimeDirectory(record.id);
            if (!itemExists(folder + QStringLiteral("/efi-variable-store")))
                LinuxImageManager::createEFIVariableStore(folder + QStringLiteral("/efi-variable-store"));
        }
        LinuxCloudInitManager cloudInit;
        cloudInit.writeCloudInitFiles(record, folder, key, true);
        co_await cloudInit.createSeedISO(folder);
        alive.requireAlive();
        m_store.saveRuntimeConfig(record);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // A leftover folder would refuse every retry as "already there".
        try {
            removeItem(folder);
        } catch (const std::exception &error) {
            logLine(QStringLiteral("Runtime folder cleanup failed:"), describeError(error));
        }
        std::rethrow_exception(failure);
    }
    logLine(QStringLiteral("Runtime folder:"), folder);
    logLine(QStringLiteral("Runtime disk path:"), m_diskManager.runtimeDiskPath(record.id));
}

RuntimeConfig LinuxRuntimeProvider::updateRecord(const QUuid &id, const std::function<void(RuntimeConfig &)> &change,
                                                 const RuntimeUpdateHandler &onUpdate) const
{
    RuntimeConfig record = m_store.readRuntime(id);
    change(record);
    m_store.saveRuntimeConfig(record);
    if (onUpdate)
        onUpdate(record);
    return record;
}

void LinuxRuntimeProvider::markFailed(const QUuid &id, const RuntimeUpdateHandler &onUpdate) const
{
    updateRecord(
        id,
        [](RuntimeConfig &r) {
            r.state = RuntimeState::failed;
            r.ipAddress.reset();
        },
        onUpdate);
}

int LinuxRuntimeProvider::readinessBudgetFactor()
{
    if (m_dependencies.environment.resolvedAccelerator() == VirtualMachineAccelerator::kvm)
        return 1;
    bool valid = false;
    int factor = userDefaults()->value(QString::fromLatin1(kTCGBudgetFactorKey), kDefaultTCGBudgetFactor).toInt(&valid);
    if (!valid || factor < 1)
        factor = kDefaultTCGBudgetFactor;
    factor = std::min(factor, 100);
    if (!m_budgetFactorLogged) {
        m_budgetFactorLogged = true;
        logLine(QStringLiteral("Runtime readiness budgets x%1: virtual machines run without hardware acceleration")
                    .arg(factor));
    }
    return factor;
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
    auto start = [this, id, onUpdate](CancelToken token) { return runStart(id, onUpdate, token); };
    co_await exclusiveStart(id, start);
}

QCoro::Task<void> LinuxRuntimeProvider::startTemplateRuntime(QUuid id)
{
    auto start = [this, id](CancelToken token) { return runTemplateStart(id, token); };
    co_await exclusiveStart(id, start);
}

QCoro::Task<void> LinuxRuntimeProvider::exclusiveStart(QUuid id, std::function<QCoro::Task<void>(CancelToken)> start)
{
    // Replacing a running machine would orphan its QEMU, and a second QEMU
    // cannot open the disk anyway.
    if (m_operations.contains(id))
        throw busy();
    if (const auto machine = m_vmCache.value(id); machine && machine->state() != VirtualMachineState::stopped)
        throw runtimeError(995, QStringLiteral("Die Runtime läuft bereits. Stoppe sie zuerst."));

    const Lifetime::Guard alive = m_lifetime.guard();
    const RunningOperation operation{Operation::starting, CancelToken(), Completion<void>()};
    m_operations.insert(id, operation);
    std::exception_ptr failure;
    try {
        co_await start(operation.token);
        alive.requireAlive();
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.isAlive())
        m_operations.remove(id);
    // Stops waiting for this start go on whatever its outcome.
    Completion<void> finished = operation.finished;
    finished.resolve();
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<RuntimeConfig> LinuxRuntimeProvider::launchMachine(QUuid id, RuntimeConfig record, bool forRuntime,
                                                               RuntimeUpdateHandler onUpdate)
{
    const QString kind = forRuntime ? QStringLiteral("runtime") : QStringLiteral("template");
    auto progress = [forRuntime](const QString &line) {
        if (forRuntime)
            logLine(line);
    };
    const Lifetime::Guard alive = m_lifetime.guard();
    std::shared_ptr<VirtualMachine> machine;
    std::exception_ptr failure;
    try {
        co_await prepareCloudInitSeed(record, forRuntime);
        alive.requireAlive();
        progress(QStringLiteral("START 1 load runtime"));
        const VirtualMachineConfiguration configuration = LinuxVMBuilder(m_diskManager).makeConfiguration(record);
        progress(QStringLiteral("START 2 config created"));
        machine = m_dependencies.makeMachine(configuration);
        progress(QStringLiteral("START 3 vm object created"));
        const auto delegate = makeLifecycleDelegate(id);
        machine->setDelegate(delegate);
        m_vmCache.insert(id, machine);
        progress(QStringLiteral("START 4 before vm.start"));
        m_vmDelegates.insert(id, delegate);
        delegate->writeEntry(kind + QStringLiteral(" start requested"));
        co_await machine->start();
        alive.requireAlive();
        if (forRuntime)
            logLine(QStringLiteral("START 5 after vm.start state:"), QString::number(machine->stateCode()));
        delegate->writeEntry(kind + QStringLiteral(" start succeeded state=%1").arg(machine->stateCode()));
        if (const auto port = machine->forwardedSSHPort())
            LinuxSSHPortRegistry::shared().setPort(id, *port);
        RuntimeDisplayHost::shared().attach(id, machine, kDisplayWidth, kDisplayHeight);
        record = updateRecord(id, [](RuntimeConfig &r) { r.state = RuntimeState::booting; }, onUpdate);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure && !alive.isAlive()) {
        // The provider that would own this machine is gone.
        if (machine)
            co_await stopUnownedMachine(machine);
        throw CancelledError();
    }
    if (failure) {
        // Nothing this start made keeps running, and the record says so: a
        // runtime left in starting without a machine could not be deleted.
        co_await discardMachine(id);
        markFailed(id, onUpdate);
        std::rethrow_exception(failure);
    }
    co_return record;
}

QCoro::Task<QString> LinuxRuntimeProvider::resolveAddress(QUuid id, RuntimeConfig record, int attempts,
                                                          CancelToken token)
{
    LinuxRuntimeIPResolver::Sources sources = m_dependencies.addressSources;
    sources.forwardedAddress = [this, alive = m_lifetime.guard(), id](const RuntimeConfig &) -> std::optional<QString> {
        alive.requireAlive();
        const auto cached = m_vmCache.value(id);
        const auto port = cached ? cached->forwardedSSHPort() : std::nullopt;
        if (!port)
            return std::nullopt;
        LinuxSSHPortRegistry::shared().setPort(id, *port);
        return QStringLiteral("127.0.0.1");
    };
    LinuxRuntimeIPResolver resolver(m_dependencies.ssh, m_dependencies.sleeper, sources);
    co_return co_await resolver.resolveIPAddress(record, attempts, 2, token);
}

QCoro::Task<void> LinuxRuntimeProvider::runStart(QUuid id, RuntimeUpdateHandler onUpdate, CancelToken token)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    RuntimeConfig record = updateRecord(
        id,
        [](RuntimeConfig &r) {
            r.state = RuntimeState::starting;
            r.ipAddress.reset();
        },
        onUpdate);
    const RuntimeConfig loaded = record;

    record = co_await launchMachine(id, record, true, onUpdate);

    std::exception_ptr failure;
    QString address;
    try {
        const int attempts = (record.distro == kArch ? 90 : 30) * readinessBudgetFactor();
        address = co_await resolveAddress(id, record, attempts, token);
        alive.requireAlive();

        record = updateRecord(
            id,
            [&address](RuntimeConfig &r) {
                r.ipAddress = address;
                r.state = RuntimeState::desktopPreparing;
            },
            onUpdate);

        co_await waitForCloudInit(record, token);
        alive.requireAlive();
        // Blocks until cloud-init's last stage has ended (the service is
        // ordered after it), which on a slow host takes minutes.
        co_await m_dependencies.ssh->runCommand(record, kDesktopServiceCommand, token, kDesktopServiceLimit);
        alive.requireAlive();
        co_await waitForDesktop(record, token);
        alive.requireAlive();
        co_await warnAboutCloudInitErrors(record, token);
        alive.requireAlive();
        co_await m_dependencies.ssh->runCommand(record, kKeyboardCommand, token, kShortCommandLimit);
        alive.requireAlive();

        record = updateRecord(
            id,
            [&address](RuntimeConfig &r) {
                r.ipAddress = address;
                r.state = RuntimeState::running;
                if (!r.initialStartCompletedAt)
                    r.initialStartCompletedAt = QDateTime::currentDateTimeUtc();
            },
            onUpdate);
        logLine(QStringLiteral("TRELLIUM desktop is ready"));
        // The screen as the runtime came up, for later questions about it.
        saveBootScreenshot(id);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        alive.requireAlive();
        co_await failStart(id, loaded, onUpdate, failure);
        co_return;
    }

    try {
        const QString output =
            (co_await m_dependencies.ssh->runCommand(record, kMACCommand, token, kShortCommandLimit)).trimmed();
        alive.requireAlive();
        // Only a real address replaces the one the machine was configured with.
        if (!MACAddress::fromString(output))
            throw runtimeError(994, QStringLiteral("Keine gültige MAC-Adresse erhalten: \"%1\"").arg(output));
        updateRecord(id, [&output](RuntimeConfig &r) { r.macAddress = output; }, onUpdate);
        logLine(QStringLiteral("Runtime MAC saved:"), output);
    } catch (const std::exception &error) {
        if (!alive.isAlive())
            throw;
        logLine(QStringLiteral("Failed to read runtime MAC:"), describeError(error));
    }
}

QCoro::Task<void> LinuxRuntimeProvider::warnAboutCloudInitErrors(RuntimeConfig record, CancelToken token)
{
    QString output;
    try {
        output = co_await m_dependencies.ssh->runCommand(record, kCloudInitStatusCommand, token, kShortCommandLimit);
    } catch (const CancelledError &) {
        throw;
    } catch (const std::exception &error) {
        // Only a hint for the user; the start does not depend on it.
        logLine(QStringLiteral("Cloud-init status unavailable:"), describeError(error));
        co_return;
    }
    if (!output.contains(kCloudInitFailed))
        co_return;
    QStringList detail;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            detail << line.trimmed();
    }
    // The guest writes this text: one line, and a bounded one.
    logLine(QStringLiteral("WARNING: cloud-init ended with an error; the runtime is usable:"),
            detail.join(QStringLiteral(" | ")).left(4000));
}

QCoro::Task<void> LinuxRuntimeProvider::runTemplateStart(QUuid id, CancelToken token)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    RuntimeConfig record = updateRecord(
        id,
        [](RuntimeConfig &r) {
            r.state = RuntimeState::starting;
            r.ipAddress.reset();
        },
        {});
    const RuntimeConfig loaded = record;
    record = co_await launchMachine(id, record, false, {});

    std::exception_ptr failure;
    try {
        const QString address = co_await resolveAddress(id, record, 30 * readinessBudgetFactor(), token);
        alive.requireAlive();
        record = updateRecord(
            id,
            [&address](RuntimeConfig &r) {
                r.ipAddress = address;
                r.state = RuntimeState::desktopPreparing;
            },
            {});
        co_await waitForCloudInit(record, token);
        alive.requireAlive();
        co_await waitForTemplateProvisioning(record, token);
        alive.requireAlive();
        updateRecord(
            id,
            [&address](RuntimeConfig &r) {
                r.ipAddress = address;
                r.state = RuntimeState::running;
                if (!r.initialStartCompletedAt)
                    r.initialStartCompletedAt = QDateTime::currentDateTimeUtc();
            },
            {});
        logLine(QStringLiteral("TRELLIUM template provisioning is ready"));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure)
        co_return;

    alive.requireAlive();
    // A template machine holds 6 GiB and 4 CPUs: it never outlives a failed start.
    reportFailure(id, loaded);
    co_await discardMachine(id);
    markFailed(id, {});
    logLine(QStringLiteral("Template provisioning failed:"), describeException(failure));
    std::rethrow_exception(failure);
}

void LinuxRuntimeProvider::reportFailure(QUuid id, const RuntimeConfig &original)
{
    printSerialExcerpt(id);
    saveBootScreenshot(id);
    dumpLifecycleLog(id);
    dumpWorkspaceNetworkDiagnostics(original);
}

QCoro::Task<void> LinuxRuntimeProvider::failStart(QUuid id, RuntimeConfig original, RuntimeUpdateHandler onUpdate,
                                                  std::exception_ptr cause)
{
    reportFailure(id, original);
    co_await discardMachine(id);

    markFailed(id, onUpdate);
    logLine(QStringLiteral("Runtime IP resolve failed:"), describeException(cause));
    std::rethrow_exception(cause);
}

QCoro::Task<void> LinuxRuntimeProvider::discardMachine(QUuid id)
{
    const Lifetime::Guard alive = m_lifetime.guard();
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
    alive.requireAlive();
    if (gone) {
        m_vmCache.remove(id);
        m_vmDelegates.remove(id);
    }
    LinuxSerialConsoleRegistry::shared().stopCaptures(id);
    LinuxSSHPortRegistry::shared().removePort(id);
}

QCoro::Task<void> LinuxRuntimeProvider::stopRuntime(QUuid id, RuntimeUpdateHandler onUpdate)
{
    // A start under way is ended first; a stop under way is joined, and its
    // caller gets the same answer. A start begun meanwhile is ended too.
    const Lifetime::Guard alive = m_lifetime.guard();
    while (m_operations.contains(id)) {
        const RunningOperation running = m_operations.value(id);
        Completion<void> finished = running.finished;
        if (running.kind == Operation::stopping) {
            co_await finished;
            co_return;
        }
        CancelToken token = running.token;
        token.cancel();
        co_await finished;
        alive.requireAlive();
    }

    const RunningOperation operation{Operation::stopping, CancelToken(), Completion<void>()};
    m_operations.insert(id, operation);
    std::exception_ptr failure;
    try {
        co_await runStop(id, onUpdate, operation.token);
        alive.requireAlive();
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.isAlive())
        m_operations.remove(id);
    Completion<void> finished = operation.finished;
    if (failure) {
        finished.reject(failure);
        std::rethrow_exception(failure);
    }
    finished.resolve();
}

QCoro::Task<void> LinuxRuntimeProvider::runStop(QUuid id, RuntimeUpdateHandler onUpdate, CancelToken token)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    const RuntimeConfig record =
        updateRecord(id, [](RuntimeConfig &r) { r.state = RuntimeState::stopping; }, onUpdate);

    RuntimeSessionManager::shared().closeTerminalSession(id);
    RemoteDesktopServer::shared().stop();
    co_await pause(300ms, token);
    alive.requireAlive();
    RuntimeDisplayHost::shared().detach(id);
    co_await pause(200ms, token);
    alive.requireAlive();

    if (record.ipAddress) {
        try {
            co_await m_dependencies.ssh->runCommand(record, kPowerOffCommand, token, kPowerOffLimit);
        } catch (const CancelledError &) {
            throw;
        } catch (const std::exception &) {
            // The guest may be unreachable or going down already.
        }
        alive.requireAlive();
    }
    // Up to 8 s for the guest to power off; a machine that already has ends the wait.
    const auto machine = m_vmCache.value(id);
    for (auto waited = 0ms; waited < 8000ms; waited += 250ms) {
        if (machine && machine->state() == VirtualMachineState::stopped)
            break;
        co_await pause(250ms, token);
        alive.requireAlive();
    }
    if (machine) {
        if (machine->state() != VirtualMachineState::stopped)
            co_await machine->stop();  // a machine that cannot be reaped stays known
        alive.requireAlive();
        m_vmCache.remove(id);
    }
    LinuxSSHPortRegistry::shared().removePort(id);
    LinuxSerialConsoleRegistry::shared().stopCaptures(id);
    m_vmDelegates.remove(id);

    updateRecord(id, [](RuntimeConfig &r) { r.state = RuntimeState::stopped; }, onUpdate);
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

const QString LinuxRuntimeProvider::kCloudInitStatusCommand =
    QStringLiteral("cloud-init status --long 2>/dev/null || true");

QString LinuxRuntimeProvider::cloudInitScript()
{
    return QStringLiteral(
        "s=$(cloud-init status 2>/dev/null || true)\n"
        "echo \"$s\"\n"
        "test -f /etc/trellium-runtime.conf && test -f /home/trellium/.ssh/authorized_keys && echo TRELLIUM_READY || true");
}

// Provisioned means cloud-init has finished its last stage (runcmd, where
// the desktop packages are installed, comes last; the desktop programs can
// be there long before, for instance in an image that ships them): only then
// may the cleanup's "cloud-init clean" and the power-off follow.
QString LinuxRuntimeProvider::templateScript(const QString &distro)
{
    const QString head = QStringLiteral(
        "s=$(cloud-init status 2>/dev/null || true)\n"
        "echo \"$s\"\n"
        "if test -f /var/lib/cloud/instance/boot-finished &&\n"
        "   ! echo \"$s\" | grep -q running &&\n"
        "   command -v xinit >/dev/null 2>&1 &&\n"
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

// The runtime user is in neither adm nor systemd-journal, so a plain
// journalctl shows none of the X server's lines; the user's password-free
// sudo (part of the guest contract) reads them. Where sudo is refused the
// probe reads what the user may.
QString LinuxRuntimeProvider::desktopScript()
{
    return QStringLiteral(
        "if { sudo -n journalctl -u trellium-desktop.service -n 30 --no-pager 2>/dev/null"
        " || journalctl -u trellium-desktop.service -n 30 --no-pager; }   | grep -q \"Cannot open /dev/tty0\"; then\n"
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
    // Nothing of the provider is touched after the first await: the loop
    // ends with CancelledError when the provider that cancels it is gone.
    const auto ssh = m_dependencies.ssh;
    const auto sleeper = m_dependencies.sleeper;
    const int attempts = rules.attempts * readinessBudgetFactor();
    for (int attempt = 1;; ++attempt) {
        QString output;
        QString failure;
        bool failed = false;
        try {
            output = co_await ssh->runCommand(record, rules.script, token, rules.commandLimit);
        } catch (const CancelledError &) {
            throw;
        } catch (const std::exception &error) {
            if (!rules.retriesSSHFailure(error))
                throw;
            failed = true;
            failure = describeError(error);
        }
        if (failed) {
            logLine(rules.unavailableLine.arg(attempt), failure);
            co_await sleeper->sleep(rules.unavailablePause, token);
        } else if (rules.isReady(output)) {
            logLine(rules.readyLine);
            co_return;
        } else {
            // Throws for an answer that will never turn into ready.
            rules.checkFatal(output);
            logLine(rules.notReadyLine.arg(attempt), withoutTrailingLineBreaks(output));
            co_await sleeper->sleep(2s, token);
        }
        if (attempt >= attempts)
            throw rules.timeout;
    }
}

QCoro::Task<void> LinuxRuntimeProvider::waitForCloudInit(RuntimeConfig record, CancelToken token)
{
    ProbeRules rules{cloudInitScript(),
                     900,
                     kProbeCommandLimit,
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
    // failure, or an attempt cut off at its bound, is worth another try.
    ProbeRules rules{script,
                     180,
                     kProbeCommandLimit,
                     [](const std::exception &error) { return isSSHItselfFailing(error); },
                     2s,
                     QStringLiteral("Template provisioning SSH temporarily unavailable attempt %1:"),
                     [](const QString &output) {
                         return output.contains(QLatin1String("READY")) && !output.contains(kCloudInitFailed);
                     },
                     QStringLiteral("Template provisioning ready"),
                     [](const QString &output) {
                         // A template whose provisioning failed in part is no template.
                         if (output.contains(kCloudInitFailed)) {
                             const QString status = output.split(QLatin1Char('\n')).filter(kCloudInitFailed).first();
                             throw runtimeError(996, QStringLiteral("Template-Provisioning wurde nicht vollständig "
                                                                    "abgeschlossen. ")
                                                         + status.trimmed().left(200));
                         }
                     },
                     QStringLiteral("Template provisioning not ready attempt %1:"),
                     runtimeError(996, QStringLiteral("Template-Provisioning wurde nicht vollständig abgeschlossen."))};
    co_await runProbe(std::move(record), std::move(rules), token);
}

QCoro::Task<void> LinuxRuntimeProvider::waitForDesktop(RuntimeConfig record, CancelToken token)
{
    ProbeRules rules{desktopScript(),
                     90,
                     kProbeCommandLimit,
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
        // The guest writes these files: no link is followed, nothing but a
        // regular file is opened, and only what is printed is read.
        QByteArray bytes;
        try {
            bytes = readRegularFileTail(path, qint64(kDiagnosticCharacters) * 4);
        } catch (const std::exception &) {
            logLine(QStringLiteral("Failed to read workspace diagnostic:"), path);
            continue;
        }
        // A cut inside a character would start with a replacement character.
        qsizetype partial = 0;
        while (partial < bytes.size() && partial < 3 && (uchar(bytes[partial]) & 0xC0) == 0x80)
            ++partial;
        const QString content = QString::fromUtf8(bytes.mid(partial));
        logLine(QStringLiteral("===== WORKSPACE NETWORK DIAGNOSTIC: %1 =====").arg(name));
        logLine(lastCharacters(content, kDiagnosticCharacters));
        logLine(QStringLiteral("===== END WORKSPACE NETWORK DIAGNOSTIC ====="));
    }
}

} // namespace trellium
