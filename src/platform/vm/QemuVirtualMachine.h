#pragma once

#include "platform/vm/VirtualMachine.h"
#include "platform/vm/QemuEnvironment.h"
#include "platform/vm/QmpClient.h"
#include "platform/vm/VirtualMachineConfiguration.h"

#include <QObject>
#include <QProcess>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace trellium {

// One QEMU machine (and the virtiofsd processes of its shares), driven over
// QMP. Lives on the main thread; no child outlives the agent.
class QemuVirtualMachine : public QObject, public VirtualMachine {
    Q_OBJECT
public:
    explicit QemuVirtualMachine(VirtualMachineConfiguration configuration,
                            QemuEnvironment environment = QemuEnvironment::shared());
    ~QemuVirtualMachine() override;

    VirtualMachineState state() const override { return m_state; }
    void setDelegate(std::weak_ptr<VirtualMachineDelegate> delegate) override { m_delegate = std::move(delegate); }

    // Starts virtiofsd and QEMU, reads the forwarded SSH port and lets the
    // CPUs run. On failure nothing stays running and the error carries
    // QEMU's own message.
    QCoro::Task<void> start() override;
    // Forced stop: QMP quit, SIGKILL after a bound. Fails only when the
    // process cannot be reaped.
    QCoro::Task<void> stop() override;
    // Presses the ACPI power button.
    void requestStop() override;

    std::optional<uint16_t> forwardedSSHPort() const override { return m_sshPort; }
    QString vncSocketPath() const override;
    QmpClient *qmp() const override { return m_qmp; }
    const VirtualMachineConfiguration &configuration() const { return m_configuration; }
    qint64 processId() const;
    QList<qint64> shareProcessIds() const;

    // Reads the forwarded port to the guest's SSH from "info usernet".
    static std::optional<uint16_t> parseForwardedSSHPort(const QString &usernet);

signals:
    void stateChanged(int stateCode);

private:
    void setState(VirtualMachineState state);
    QCoro::Task<void> startShares();
    QString shareSocketPath(qsizetype index) const;
    QCoro::Task<bool> waitForExit(std::chrono::milliseconds timeout);
    void onQemuFinished();
    void killAll();
    void removeSocketFolder();
    QString lastErrorLine() const;
    DomainError startError(const QString &fallback) const;

    VirtualMachineConfiguration m_configuration;
    QemuEnvironment m_environment;
    VirtualMachineState m_state = VirtualMachineState::stopped;
    std::weak_ptr<VirtualMachineDelegate> m_delegate;
    QString m_socketFolder;
    QProcess *m_qemu = nullptr;
    QList<QProcess *> m_shares;
    QList<QByteArray> m_shareErrors;  // the tail of each share's standard error
    QmpClient *m_qmp = nullptr;
    QByteArray m_stderr;
    std::optional<uint16_t> m_sshPort;
    bool m_stopRequested = false;
    bool m_guestStopped = false;
    std::vector<Completion<bool>> m_exitWaiters;
};

} // namespace trellium
