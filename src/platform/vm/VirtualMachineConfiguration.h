#pragma once

#include "platform/vm/MACAddress.h"
#include "platform/vm/QemuEnvironment.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace trellium {

// A serial or console port's connection to the host: the guest's end of a
// socket pair, kept open by its owner for as long as the machine may use it.
struct SerialAttachment {
    int fileDescriptor = -1;
    // Keeps the descriptor's owner alive while the configuration exists.
    std::shared_ptr<void> owner;
};

// Everything a generic EFI machine is made of. A value: building one starts
// nothing; validate() checks it, and a VirtualMachine runs it with QEMU.
struct VirtualMachineConfiguration {
    struct StorageDevice {
        QString imagePath;  // raw image
        bool readOnly = false;
    };
    struct NetworkDevice {
        MACAddress macAddress;  // NAT: QEMU user networking with the SSH port forwarded
    };
    struct Scanout {
        int widthInPixels = 0;
        int heightInPixels = 0;
    };
    struct ConsolePort {
        QString name;
        bool isConsole = false;
        SerialAttachment attachment;
    };
    struct SerialPort {
        SerialAttachment attachment;
    };
    struct DirectoryShare {
        QString tag;
        QString directoryPath;
        bool readOnly = false;
    };

    int64_t cpuCount = 1;
    uint64_t memorySize = 0;  // bytes
    QUuid machineIdentifier;
    QString efiVariableStorePath;
    QList<StorageDevice> storageDevices;
    QList<NetworkDevice> networkDevices;
    QList<Scanout> graphicsScanouts;  // one virtio graphics device
    int keyboards = 0;                // USB keyboards
    int pointingDevices = 0;          // USB screen-coordinate pointers
    QList<ConsolePort> consolePorts;  // ports of one virtio console device
    QList<SerialPort> serialPorts;
    QList<DirectoryShare> directoryShares;

    static constexpr int64_t kMinimumCPUCount = 1;
    static constexpr int64_t kMaximumCPUCount = 64;
    static constexpr uint64_t kMinimumMemorySize = uint64_t(128) << 20;
    static constexpr uint64_t kMaximumMemorySize = uint64_t(1024) << 30;
    static constexpr int kMaximumTagLength = 36;

    // Throws DomainError (domain "VirtualMachineConfiguration", code 2) with
    // a German description of the first problem found.
    void validate() const;

    // The QEMU options for this machine. Sockets for QMP and virtiofsd come
    // from the machine (see VirtualMachine); paths have commas escaped.
    struct Runtime {
        int qmpDescriptor = -1;
        QStringList shareSocketPaths;  // one per directory share
        QString vncSocketPath;
        VirtualMachineAccelerator accelerator = VirtualMachineAccelerator::tcg;
        bool restrictNetwork = false;
    };
    QStringList qemuArguments(const QemuEnvironment &environment, const Runtime &runtime) const;
    // The descriptors QEMU must inherit.
    QList<int> inheritedDescriptors(const Runtime &runtime) const;
};

// QEMU splits option values at single commas; a comma inside a value is doubled.
QString escapeQemuOptionValue(const QString &value);

} // namespace trellium
