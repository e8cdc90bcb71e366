#pragma once

#include <QString>

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

    QString resolvedSocketRoot() const;
    VirtualMachineAccelerator resolvedAccelerator() const;
    QString resolvedVirtiofsdSandbox() const;

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
