#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace trellium {

enum class VirtualMachineAccelerator { kvm, tcg };

// Where the machine layer finds QEMU, its firmware and virtiofsd, where it
// puts its sockets, and which accelerator it uses. Fixed paths, injectable
// for tests.
struct QemuEnvironment {
    QString qemuPath = QStringLiteral("/usr/bin/qemu-system-x86_64");
    QString firmwareCodePath = QStringLiteral("/usr/share/OVMF/OVMF_CODE_4M.fd");
    QString virtiofsdPath = QStringLiteral("/usr/lib/qemu/virtiofsd");
    // Folder for per-machine socket folders; empty: the user's runtime
    // folder + "/trellium-vm". Unix socket paths must stay under 108 bytes.
    QString socketRoot;
    // Unset: probed once per process (KVM when /dev/kvm works, else TCG).
    std::optional<VirtualMachineAccelerator> accelerator;
    // Cuts the guest off from everything but the forwarded SSH port.
    bool restrictNetwork = false;
    // virtiofsd's sandbox ("namespace" or "chroot"); empty: probed once.
    QString virtiofsdSandbox;
    // virtiofsd needs root. Run by an ordinary user it starts as root of a
    // user namespace made of the user's subordinate ids, with the guest
    // user's ids mapped to the user, so that what the guest user writes
    // belongs to the user on the host. Unset: when the agent is not root.
    std::optional<bool> virtiofsdUserNamespace;
    QString unsharePath = QStringLiteral("/usr/bin/unshare");
    QString setprivPath = QStringLiteral("/usr/bin/setpriv");
    // The user cloud-init creates first in a guest.
    uint32_t guestUserId = 1000;
    uint32_t guestGroupId = 1000;

    QString resolvedSocketRoot() const;
    VirtualMachineAccelerator resolvedAccelerator() const;
    QString resolvedVirtiofsdSandbox() const;
    bool resolvedVirtiofsdUserNamespace() const;

    // The agent's environment. TRELLIUM_VM_ACCEL=kvm|tcg forces the accelerator.
    static QemuEnvironment &shared();
};

// KVM only when /dev/kvm opens and a short firmware start keeps running:
// nested setups expose /dev/kvm but fail with a KVM internal error. Decided
// once per process (per QEMU path) and logged.
VirtualMachineAccelerator probeAccelerator(const QemuEnvironment &environment);

// virtiofsd isolates itself in namespaces, which a chroot or container may not
// allow (it then dies as soon as QEMU connects); there its chroot sandbox
// works. Decided once per process by serving one probe connection, and logged.
QString probeVirtiofsdSandbox(const QemuEnvironment &environment);

} // namespace trellium
