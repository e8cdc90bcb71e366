#pragma once

#include "core/Async.h"
#include "core/Lifetime.h"
#include "platform/vm/QemuEnvironment.h"
#include "platform/vm/VirtualMachine.h"
#include "platform/vm/VirtualMachineConfiguration.h"
#include "runtime/RuntimeProvider.h"
#include "runtime/RuntimeStore.h"
#include "runtime/images/LinuxDiskManager.h"
#include "runtime/images/LinuxImageManager.h"
#include "runtime/linux/LinuxRuntimeIPResolver.h"
#include "runtime/linux/LinuxSSHManager.h"
#include "runtime/linux/LinuxVirtualMachineDelegate.h"

#include <QHash>

#include <functional>
#include <memory>

namespace trellium {

// Runtimes of kind linux: Linux guests on QEMU. Starts, probes, stops and
// deletes them; keeps the running machines. Main thread. Destroyed while an
// operation runs, it cancels the operation, which then ends with
// CancelledError without touching it, and stops its machines.
class LinuxRuntimeProvider final : public RuntimeProvider {
public:
    // The seams tests replace: how machines are made, how guest commands
    // run, how pauses pass, where hosts' address sources are.
    struct Dependencies {
        std::function<std::shared_ptr<VirtualMachine>(const VirtualMachineConfiguration &)> makeMachine;
        std::shared_ptr<SSHCommandRunner> ssh;
        std::shared_ptr<Sleeper> sleeper;
        LinuxRuntimeIPResolver::Sources addressSources;
        QemuEnvironment environment = QemuEnvironment::shared();
        // The image manager's seams (sources, qemu-img, time-outs). Its
        // template step is the provider's own unless one is given here.
        LinuxImageManager::Dependencies images;
    };

    static constexpr int kDisplayWidth = 1600;
    static constexpr int kDisplayHeight = 1120;
    // Without hardware acceleration (TCG) a guest boots several times slower:
    // the address and probe budgets are multiplied by this user-defaults
    // value (default 4).
    static constexpr const char *kTCGBudgetFactorKey = "trellium.runtime.tcgBudgetFactor";
    static constexpr int kDefaultTCGBudgetFactor = 4;

    // Two constructors: a nested struct's member initialisers cannot serve
    // as a default argument inside the enclosing class.
    explicit LinuxRuntimeProvider(RuntimeStore store);
    LinuxRuntimeProvider(RuntimeStore store, Dependencies dependencies);
    ~LinuxRuntimeProvider() override;

    RuntimeKind kind() const override { return RuntimeKind::linux; }
    // Waits for the distribution's template (preparing it the first time),
    // then copies it into a new runtime folder with keys and seed. A failed
    // creation removes the folder it made.
    QCoro::Task<void> createRuntime(RuntimeConfig config) override;
    QCoro::Task<void> startRuntime(QUuid id, RuntimeUpdateHandler onUpdate) override;
    QCoro::Task<void> stopRuntime(QUuid id, RuntimeUpdateHandler onUpdate) override;
    QCoro::Task<void> deleteRuntime(QUuid id) override;
    std::shared_ptr<VirtualMachine> virtualMachine(const QUuid &id) const override;

    // The one boot of a template runtime: template seed, 30 address attempts
    // (times the TCG factor), then cloud-init and template provisioning
    // instead of the desktop. On any failure the machine is stopped; the
    // record is saved failed.
    QCoro::Task<void> startTemplateRuntime(QUuid id);

    const LinuxImageManager &imageManager() const { return m_imageManager; }
    const Dependencies &dependencies() const { return m_dependencies; }
    // Ends a start or stop of the runtime that is under way: its pauses and
    // guest commands end at once with CancelledError.
    void cancelOperation(const QUuid &id);

    // Rewrites the runtime's cloud-init documents and seed image.
    QCoro::Task<void> prepareCloudInitSeed(RuntimeConfig record, bool forRuntime);
    // logs/boot-screen.png from the display host; reports, never throws.
    void saveBootScreenshot(const QUuid &id);

    // Readiness probes: poll the guest over SSH until it reports ready.
    QCoro::Task<void> waitForCloudInit(RuntimeConfig record, CancelToken token = {});
    QCoro::Task<void> waitForTemplateProvisioning(RuntimeConfig record, CancelToken token = {});
    QCoro::Task<void> waitForDesktop(RuntimeConfig record, CancelToken token = {});
    void dumpWorkspaceNetworkDiagnostics(const RuntimeConfig &record) const;
    // 1 with hardware acceleration, else the TCG factor (logged once).
    int readinessBudgetFactor();

    std::shared_ptr<LinuxVirtualMachineDelegate> makeLifecycleDelegate(const QUuid &id) const;
    void dumpLifecycleLog(const QUuid &id) const;

    // The probes' scripts, exactly as sent.
    static QString cloudInitScript();
    static QString templateScript(const QString &distro);
    static QString desktopScript();
    // Asked once the desktop runs: cloud-init's own account of its run.
    static const QString kCloudInitStatusCommand;

    // What the provider holds for running machines.
    const QHash<QUuid, std::shared_ptr<VirtualMachine>> &vmCache() const { return m_vmCache; }
    const QHash<QUuid, std::shared_ptr<LinuxVirtualMachineDelegate>> &vmDelegates() const { return m_vmDelegates; }

private:
    enum class Operation { starting, stopping };

    // What tells one readiness probe from another.
    struct ProbeRules {
        QString script;
        int attempts;  // before the budget factor
        // Each attempt's own bound: a guest that freezes in the middle of
        // one costs that attempt, handled as ssh failing.
        std::chrono::milliseconds commandLimit;
        std::function<bool(const std::exception &)> retriesSSHFailure;
        std::chrono::milliseconds unavailablePause;
        QString unavailableLine;  // with %1 for the attempt
        std::function<bool(const QString &)> isReady;
        QString readyLine;
        std::function<void(const QString &)> checkFatal;
        QString notReadyLine;
        DomainError timeout;
    };
    QCoro::Task<void> runProbe(RuntimeConfig record, ProbeRules rules, CancelToken token);

    struct RunningOperation {
        Operation kind;
        CancelToken token;
        // Resolved when the operation ends; a failed stop rejects it with
        // its error, which every stop that joined it receives.
        Completion<void> finished;
    };

    // Runs one start under the provider's one-operation-per-runtime rule.
    QCoro::Task<void> exclusiveStart(QUuid id, std::function<QCoro::Task<void>(CancelToken)> start);
    QCoro::Task<void> runStart(QUuid id, RuntimeUpdateHandler onUpdate, CancelToken token);
    QCoro::Task<void> runTemplateStart(QUuid id, CancelToken token);
    // Seed, configuration, machine, delegate, start and display, then the
    // record saved booting; a failure stops what was made and saves failed.
    QCoro::Task<RuntimeConfig> launchMachine(QUuid id, RuntimeConfig record, bool forRuntime,
                                             RuntimeUpdateHandler onUpdate);
    QCoro::Task<QString> resolveAddress(QUuid id, RuntimeConfig record, int attempts, CancelToken token);
    void reportFailure(QUuid id, const RuntimeConfig &original);
    QCoro::Task<void> runStop(QUuid id, RuntimeUpdateHandler onUpdate, CancelToken token);
    QCoro::Task<void> failStart(QUuid id, RuntimeConfig original, RuntimeUpdateHandler onUpdate,
                                std::exception_ptr cause);
    // Prints cloud-init's error detail when it failed after the guest
    // reported ready; the runtime stays usable.
    QCoro::Task<void> warnAboutCloudInitErrors(RuntimeConfig record, CancelToken token);
    // Forced stop of a machine this provider made, then forgetting it.
    QCoro::Task<void> discardMachine(QUuid id);
    // Re-reads the record, applies the fields the calling sequence owns,
    // saves it and reports it: edits made meanwhile (a rename, a workspace
    // binding) are kept.
    RuntimeConfig updateRecord(const QUuid &id, const std::function<void(RuntimeConfig &)> &change,
                               const RuntimeUpdateHandler &onUpdate) const;
    // A start that failed: failed, without an address.
    void markFailed(const QUuid &id, const RuntimeUpdateHandler &onUpdate) const;
    QCoro::Task<void> pause(std::chrono::milliseconds duration, CancelToken token);
    void printSerialExcerpt(const QUuid &id) const;

    RuntimeStore m_store;
    LinuxDiskManager m_diskManager;
    Dependencies m_dependencies;
    LinuxImageManager m_imageManager;
    QHash<QUuid, std::shared_ptr<VirtualMachine>> m_vmCache;
    QHash<QUuid, std::shared_ptr<LinuxVirtualMachineDelegate>> m_vmDelegates;
    // One start or stop at a time per runtime; a stop cancels a start and
    // joins another stop.
    QHash<QUuid, RunningOperation> m_operations;
    bool m_budgetFactorLogged = false;
    Lifetime m_lifetime;
};

} // namespace trellium
