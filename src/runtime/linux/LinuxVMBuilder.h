#pragma once

#include "model/RuntimeConfig.h"
#include "platform/vm/VirtualMachineConfiguration.h"
#include "runtime/images/LinuxDiskManager.h"

namespace trellium {

// Turns one runtime record into a validated machine configuration: EFI boot
// from the runtime's raw disk, the cloud-init seed, NAT networking, a
// 1600 x 1120 display, USB keyboard and pointer, two logged serial channels
// and the workspace folder shared into the guest. Starts nothing.
class LinuxVMBuilder {
public:
    static constexpr int kDisplayWidth = 1600;
    static constexpr int kDisplayHeight = 1120;

    LinuxVMBuilder(LinuxDiskManager diskManager = {});

    VirtualMachineConfiguration makeConfiguration(const RuntimeConfig &runtime) const;

    QUuid makePlatform(const RuntimeConfig &runtime) const;  // the stored machine identifier
    QString makeBootLoader(const RuntimeConfig &runtime) const;  // the EFI variable store
    VirtualMachineConfiguration::StorageDevice makeDiskDevice(const RuntimeConfig &runtime) const;
    VirtualMachineConfiguration::StorageDevice makeSeedDevice(const RuntimeConfig &runtime) const;
    VirtualMachineConfiguration::NetworkDevice makeNetworkDevice(const RuntimeConfig &runtime) const;
    VirtualMachineConfiguration::ConsolePort makeConsoleDevice(const RuntimeConfig &runtime) const;
    VirtualMachineConfiguration::SerialPort makeSerialPort(const RuntimeConfig &runtime) const;
    VirtualMachineConfiguration::DirectoryShare makeWorkspaceShare(const RuntimeConfig &runtime) const;

private:
    QString runtimeFile(const RuntimeConfig &runtime, const QString &name) const;

    LinuxDiskManager m_diskManager;
};

} // namespace trellium
