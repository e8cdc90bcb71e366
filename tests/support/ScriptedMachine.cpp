#include "support/ScriptedMachine.h"

namespace trellium::test {

QCoro::Task<void> ScriptedMachine::start()
{
    ++starts;
    m_state = VirtualMachineState::starting;
    if (onStart) {
        try {
            onStart();
        } catch (...) {
            m_state = VirtualMachineState::stopped;
            throw;
        }
    }
    if (startGate)
        co_await *startGate;
    m_state = VirtualMachineState::running;
    co_return;
}

QCoro::Task<void> ScriptedMachine::stop()
{
    ++stops;
    if (failStop)
        throw DomainError(QStringLiteral("VirtualMachine"), 3, QStringLiteral("Die virtuelle Maschine konnte nicht beendet werden."));
    if (!ignoreStop)
        m_state = VirtualMachineState::stopped;
    co_return;
}

void ScriptedMachine::guestPowersOff()
{
    m_state = VirtualMachineState::stopped;
    if (auto delegate = m_delegate.lock())
        delegate->guestDidStop(*this);
}

void ScriptedMachine::crashes(const QString &why)
{
    m_state = VirtualMachineState::error;
    if (auto delegate = m_delegate.lock())
        delegate->didStopWithError(*this, DomainError(QStringLiteral("VirtualMachine"), 2, why));
}

} // namespace trellium::test
