#include "runtime/linux/LinuxVMBuilder.h"

#include "core/Errors.h"
#include "core/Files.h"
#include "core/Log.h"
#include "platform/vm/EFIVariableStore.h"
#include "runtime/RuntimeConfigValidator.h"
#include "runtime/linux/LinuxSerialConsoleRegistry.h"

#include <QFile>

namespace trellium {

namespace {

SerialAttachment attachmentOf(const SerialPortAttachment &serial)
{
    return SerialAttachment{serial.fileDescriptor(), serial.capture};
}

} // namespace

LinuxVMBuilder::LinuxVMBuilder(LinuxDiskManager diskManager) : m_diskManager(std::move(diskManager)) {}

QString LinuxVMBuilder::runtimeFile(const RuntimeConfig &runtime, const QString &name) const
{
    return m_diskManager.runtimeDirectory(runtime.id) + QLatin1Char('/') + name;
}

QUuid LinuxVMBuilder::makePlatform(const RuntimeConfig &runtime) const
{
    m_diskManager.ensureRuntimeDirectory(runtime.id);
    const QString path = runtimeFile(runtime, QStringLiteral("machine-identifier"));
    if (!itemExists(path)) {
        const GenericMachineIdentifier identifier;
        writeFileAtomically(path, identifier.dataRepresentation());
        return identifier.uuid();
    }
    const auto stored = GenericMachineIdentifier::fromDataRepresentation(readWholeFile(path));
    if (!stored)
        throw DomainError(QStringLiteral("LinuxVMBuilder"), 2, QStringLiteral("Gespeicherte VM-Machine-ID ist ungültig: ") + path);
    return stored->uuid();
}

QString LinuxVMBuilder::makeBootLoader(const RuntimeConfig &runtime) const
{
    m_diskManager.ensureRuntimeDirectory(runtime.id);
    const QString path = runtimeFile(runtime, QStringLiteral("efi-variable-store"));
    if (!itemExists(path))
        EFIVariableStore::create(path);
    return path;
}

VirtualMachineConfiguration::StorageDevice LinuxVMBuilder::makeDiskDevice(const RuntimeConfig &runtime) const
{
    m_diskManager.createRuntimeDisk(runtime);
    return {m_diskManager.runtimeDiskPath(runtime.id), false};
}

VirtualMachineConfiguration::StorageDevice LinuxVMBuilder::makeSeedDevice(const RuntimeConfig &runtime) const
{
    const QString path = runtimeFile(runtime, QStringLiteral("seed.iso"));
    QFile seed(path);
    if (!seed.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("Seed öffnen"), path, seed.errorString());
    return {path, true};
}

VirtualMachineConfiguration::NetworkDevice LinuxVMBuilder::makeNetworkDevice(const RuntimeConfig &runtime) const
{
    if (runtime.macAddress) {
        if (auto address = MACAddress::fromString(*runtime.macAddress))
            return {*address};
    }
    return {MACAddress::randomLocallyAdministered()};
}

VirtualMachineConfiguration::ConsolePort LinuxVMBuilder::makeConsoleDevice(const RuntimeConfig &runtime) const
{
    m_diskManager.ensureLogsDirectory(runtime.id);
    const auto serial = LinuxSerialConsoleRegistry::shared().makeSerialAttachment(
        runtime.id, QStringLiteral("system-console"), runtimeFile(runtime, QStringLiteral("logs/serial.log")));
    return {QStringLiteral("org.duzederevezaz.trellium.console"), true, attachmentOf(serial)};
}

VirtualMachineConfiguration::SerialPort LinuxVMBuilder::makeSerialPort(const RuntimeConfig &runtime) const
{
    m_diskManager.ensureLogsDirectory(runtime.id);
    const auto serial = LinuxSerialConsoleRegistry::shared().makeSerialAttachment(
        runtime.id, QStringLiteral("legacy-serial"), runtimeFile(runtime, QStringLiteral("logs/legacy-serial.log")));
    return {attachmentOf(serial)};
}

VirtualMachineConfiguration::DirectoryShare LinuxVMBuilder::makeWorkspaceShare(const RuntimeConfig &runtime) const
{
    // Only a folder can be shared; a plain file at the path is as good as nothing.
    if (!isDirectory(runtime.workspacePath))
        throw DomainError(QStringLiteral("WorkspaceShare"), 1,
                          QStringLiteral("Workspace-Pfad existiert nicht: ") + runtime.workspacePath);
    if (!RuntimeConfigValidator::isValidMountName(runtime.mountName))
        throw DomainError(QStringLiteral("WorkspaceShare"), 2,
                          QStringLiteral("Ungültiger Freigabename (höchstens 36 Zeichen aus A-Z, a-z, 0-9, _, . und -): ")
                              + runtime.mountName);
    return {runtime.mountName, runtime.workspacePath, false};
}

VirtualMachineConfiguration LinuxVMBuilder::makeConfiguration(const RuntimeConfig &runtime) const
{
    // QEMU would refuse these later and less clearly.
    if (runtime.cpuCount < VirtualMachineConfiguration::kMinimumCPUCount
        || runtime.cpuCount > VirtualMachineConfiguration::kMaximumCPUCount)
        throw DomainError(QStringLiteral("LinuxVMBuilder"), 1,
                          QStringLiteral("Die Anzahl der CPUs muss zwischen 1 und 64 liegen."));
    if (runtime.memoryGB < 1 || runtime.memoryGB > 1024)
        throw DomainError(QStringLiteral("LinuxVMBuilder"), 1,
                          QStringLiteral("Der Arbeitsspeicher muss zwischen 1 und 1024 GB liegen."));

    VirtualMachineConfiguration configuration;
    configuration.cpuCount = runtime.cpuCount;
    configuration.memorySize = uint64_t(runtime.memoryGB) << 30;

    logLine(QStringLiteral("CONFIG 1 platform"));
    configuration.machineIdentifier = makePlatform(runtime);
    logLine(QStringLiteral("CONFIG 2 bootloader"));
    configuration.efiVariableStorePath = makeBootLoader(runtime);
    logLine(QStringLiteral("CONFIG 3 storage"));
    configuration.storageDevices = {makeDiskDevice(runtime), makeSeedDevice(runtime)};
    logLine(QStringLiteral("CONFIG 4 network"));
    configuration.networkDevices = {makeNetworkDevice(runtime)};
    logLine(QStringLiteral("CONFIG 5 graphics"));
    configuration.graphicsScanouts = {{kDisplayWidth, kDisplayHeight}};
    logLine(QStringLiteral("CONFIG 6 input"));
    configuration.keyboards = 1;
    configuration.pointingDevices = 1;
    logLine(QStringLiteral("CONFIG 7 console"));
    configuration.consolePorts = {makeConsoleDevice(runtime)};
    logLine(QStringLiteral("CONFIG 8 serial"));
    configuration.serialPorts = {makeSerialPort(runtime)};
    logLine(QStringLiteral("CONFIG 9 share"));
    configuration.directoryShares = {makeWorkspaceShare(runtime)};
    logLine(QStringLiteral("CONFIG 10 validate"));
    configuration.validate();
    logLine(QStringLiteral("CONFIG 11 done"));
    return configuration;
}

} // namespace trellium
