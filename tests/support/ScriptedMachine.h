#pragma once

#include "platform/vm/VirtualMachine.h"

#include <functional>

namespace trellium::test {

// A machine whose behaviour the test decides: start and stop succeed or
// fail as told, and the test can make the guest power off or crash.
class ScriptedMachine final : public VirtualMachine {
public:
    VirtualMachineState state() const override { return m_state; }
    void setDelegate(std::weak_ptr<VirtualMachineDelegate> delegate) override { m_delegate = std::move(delegate); }
    QCoro::Task<void> start() override;
    QCoro::Task<void> stop() override;
    void requestStop() override { ++powerButtonPresses; }
    std::optional<uint16_t> forwardedSSHPort() const override { return sshPort; }
    QString vncSocketPath() const override { return vncSocket; }
    QmpClient *qmp() const override { return nullptr; }

    // Test controls.
    void setState(VirtualMachineState state) { m_state = state; }
    void guestPowersOff();
    void crashes(const QString &why);

    std::function<void()> onStart;  // may throw to fail the start
    // When set, a start stays in starting until the test resolves the gate.
    std::optional<Completion<void>> startGate;
    bool failStop = false;
    bool ignoreStop = false;        // stays running after a forced stop
    std::optional<uint16_t> sshPort = uint16_t(40022);
    QString vncSocket;  // none: the machine has no screen
    int starts = 0;
    int stops = 0;
    int powerButtonPresses = 0;

private:
    VirtualMachineState m_state = VirtualMachineState::stopped;
    std::weak_ptr<VirtualMachineDelegate> m_delegate;
};

} // namespace trellium::test
