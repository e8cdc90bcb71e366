#pragma once

#include "core/Async.h"
#include "core/Errors.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace trellium {

class QmpClient;

// The machine states with the virtualization framework's numeric codes,
// which log lines print.
enum class VirtualMachineState : int {
    stopped = 0,
    running = 1,
    paused = 2,
    error = 3,
    starting = 4,
    pausing = 5,
    resuming = 6,
    stopping = 7,
};

class VirtualMachine;

// Notices about a machine, delivered on the main thread.
class VirtualMachineDelegate {
public:
    virtual ~VirtualMachineDelegate() = default;
    // The guest powered the machine off itself.
    virtual void guestDidStop(VirtualMachine &machine) = 0;
    // The machine ended without being asked to (QEMU died).
    virtual void didStopWithError(VirtualMachine &machine, const Error &error) = 0;
    // Never raised with user-mode networking, kept for the delegate's contract.
    virtual void networkAttachmentWasDisconnected(VirtualMachine &machine, const Error &error) = 0;
};

// A running (or runnable) machine as the runtime code sees it. The QEMU
// machine implements it; tests use a scripted one.
class VirtualMachine {
public:
    virtual ~VirtualMachine() = default;

    virtual VirtualMachineState state() const = 0;
    int stateCode() const { return int(state()); }
    // Held weakly: the owner of the delegate decides how long it lives.
    virtual void setDelegate(std::weak_ptr<VirtualMachineDelegate> delegate) = 0;
    virtual QCoro::Task<void> start() = 0;
    virtual QCoro::Task<void> stop() = 0;
    virtual void requestStop() = 0;

    // Where the guest's SSH answers on 127.0.0.1, once started.
    virtual std::optional<uint16_t> forwardedSSHPort() const = 0;
    // The screen (VNC on a Unix socket) and the machine protocol for input;
    // empty or null where a machine has none.
    virtual QString vncSocketPath() const = 0;
    virtual QmpClient *qmp() const = 0;
};

} // namespace trellium
