#include "platform/vm/VirtualMachineConfiguration.h"

#include "core/Errors.h"
#include "core/Files.h"
#include "core/Json.h"

#include <QRegularExpression>

namespace trellium {

QString escapeQemuOptionValue(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char(','), QStringLiteral(",,"));
    return escaped;
}

namespace {

[[noreturn]] void invalid(const QString &why)
{
    throw DomainError(QStringLiteral("VirtualMachineConfiguration"), 2,
                      QStringLiteral("Ungültige VM-Konfiguration: ") + why);
}

QString socketChardev(const QString &id, int fd)
{
    return QStringLiteral("socket,id=%1,fd=%2,server=off").arg(id).arg(fd);
}

} // namespace

void VirtualMachineConfiguration::validate() const
{
    if (cpuCount < kMinimumCPUCount || cpuCount > kMaximumCPUCount)
        invalid(QStringLiteral("Die Anzahl der CPUs muss zwischen %1 und %2 liegen.")
                    .arg(kMinimumCPUCount)
                    .arg(kMaximumCPUCount));
    if (memorySize < kMinimumMemorySize || memorySize > kMaximumMemorySize || memorySize % (uint64_t(1) << 20) != 0)
        invalid(QStringLiteral("Der Arbeitsspeicher muss zwischen 128 MiB und 1024 GiB liegen."));
    if (machineIdentifier.isNull())
        invalid(QStringLiteral("Die Maschinen-ID fehlt."));
    // Missing image files are left to QEMU, whose message names them.
    if (efiVariableStorePath.isEmpty())
        invalid(QStringLiteral("Der EFI-Variablenspeicher fehlt."));
    if (storageDevices.isEmpty())
        invalid(QStringLiteral("Es ist kein Speichergerät angegeben."));
    for (const StorageDevice &disk : storageDevices) {
        if (disk.imagePath.isEmpty())
            invalid(QStringLiteral("Ein Disk-Image hat keinen Pfad."));
    }
    if (graphicsScanouts.size() > 1)
        invalid(QStringLiteral("Es wird nur eine Bildschirmausgabe unterstützt."));
    for (const Scanout &scanout : graphicsScanouts) {
        if (scanout.widthInPixels < 320 || scanout.heightInPixels < 200 || scanout.widthInPixels > 8192
            || scanout.heightInPixels > 8192)
            invalid(QStringLiteral("Ungültige Bildschirmgröße."));
    }
    for (const ConsolePort &port : consolePorts) {
        if (port.attachment.fileDescriptor < 0)
            invalid(QStringLiteral("Konsolenport ohne Verbindung: ") + port.name);
        if (port.name.contains(QLatin1Char(',')) || port.name.isEmpty())
            invalid(QStringLiteral("Ungültiger Konsolenportname: ") + port.name);
    }
    for (const SerialPort &port : serialPorts) {
        if (port.attachment.fileDescriptor < 0)
            invalid(QStringLiteral("Serieller Port ohne Verbindung."));
    }
    static const QRegularExpression tagPattern(QStringLiteral("^[A-Za-z0-9_.-]+$"));
    for (const DirectoryShare &share : directoryShares) {
        if (share.tag.toUtf8().size() > kMaximumTagLength || !tagPattern.match(share.tag).hasMatch())
            invalid(QStringLiteral("Ungültiger Freigabename (höchstens 36 Zeichen aus A-Z, a-z, 0-9, _, . und -): ")
                    + share.tag);
        if (!isDirectory(share.directoryPath))
            invalid(QStringLiteral("Der freigegebene Ordner fehlt: ") + share.directoryPath);
    }
}

QStringList VirtualMachineConfiguration::qemuArguments(const QemuEnvironment &environment, const Runtime &runtime) const
{
    const bool kvm = runtime.accelerator == VirtualMachineAccelerator::kvm;
    const uint64_t memoryMiB = memorySize >> 20;
    QStringList a{QStringLiteral("-nodefaults"), QStringLiteral("-no-user-config"), QStringLiteral("-S")};
    a << QStringLiteral("-machine") << QStringLiteral("q35,memory-backend=mem");
    a << QStringLiteral("-accel") << (kvm ? QStringLiteral("kvm") : QStringLiteral("tcg,thread=multi"));
    // x86-64-v2 and later are required by current distributions.
    a << QStringLiteral("-cpu") << (kvm ? QStringLiteral("host") : QStringLiteral("max"));
    a << QStringLiteral("-uuid") << machineIdentifier.toString(QUuid::WithoutBraces);
    a << QStringLiteral("-smp") << QString::number(cpuCount);
    a << QStringLiteral("-m") << QStringLiteral("%1M").arg(memoryMiB);
    // Shared memory lets virtiofsd map the guest's pages.
    a << QStringLiteral("-object") << QStringLiteral("memory-backend-memfd,id=mem,size=%1M,share=on").arg(memoryMiB);
    a << QStringLiteral("-drive")
      << QStringLiteral("if=pflash,format=raw,unit=0,readonly=on,file=")
            + escapeQemuOptionValue(environment.firmwareCodePath);
    a << QStringLiteral("-drive")
      << QStringLiteral("if=pflash,format=raw,unit=1,file=") + escapeQemuOptionValue(efiVariableStorePath);

    for (qsizetype i = 0; i < storageDevices.size(); ++i) {
        const StorageDevice &disk = storageDevices.at(i);
        QString drive = QStringLiteral("if=none,id=disk%1,format=raw,file=%2").arg(i).arg(escapeQemuOptionValue(disk.imagePath));
        if (disk.readOnly)
            drive += QStringLiteral(",readonly=on");
        a << QStringLiteral("-drive") << drive;
        QString device = QStringLiteral("virtio-blk-pci,drive=disk%1").arg(i);
        if (i == 0)
            device += QStringLiteral(",bootindex=0");
        a << QStringLiteral("-device") << device;
    }

    for (qsizetype i = 0; i < networkDevices.size(); ++i) {
        QString netdev = QStringLiteral("user,id=net%1").arg(i);
        if (runtime.restrictNetwork)
            netdev += QStringLiteral(",restrict=on");
        if (i == 0)
            netdev += QStringLiteral(",hostfwd=tcp:127.0.0.1:0-:22");
        a << QStringLiteral("-netdev") << netdev;
        // No option ROM: OVMF would try to boot from the network first.
        a << QStringLiteral("-device")
          << QStringLiteral("virtio-net-pci,netdev=net%1,mac=%2,romfile=").arg(i).arg(networkDevices.at(i).macAddress.string());
    }

    for (const Scanout &scanout : graphicsScanouts)
        a << QStringLiteral("-device")
          << QStringLiteral("virtio-vga,xres=%1,yres=%2").arg(scanout.widthInPixels).arg(scanout.heightInPixels);

    if (keyboards > 0 || pointingDevices > 0) {
        a << QStringLiteral("-device") << QStringLiteral("qemu-xhci,id=xhci");
        for (int i = 0; i < keyboards; ++i)
            a << QStringLiteral("-device") << QStringLiteral("usb-kbd,bus=xhci.0");
        for (int i = 0; i < pointingDevices; ++i)
            a << QStringLiteral("-device") << QStringLiteral("usb-tablet,bus=xhci.0");
    }

    if (!consolePorts.isEmpty()) {
        a << QStringLiteral("-device") << QStringLiteral("virtio-serial-pci,id=vser0");
        for (qsizetype i = 0; i < consolePorts.size(); ++i) {
            const ConsolePort &port = consolePorts.at(i);
            a << QStringLiteral("-chardev") << socketChardev(QStringLiteral("con%1").arg(i), port.attachment.fileDescriptor);
            a << QStringLiteral("-device")
              << QStringLiteral("%1,bus=vser0.0,nr=%2,chardev=con%3,name=%4")
                     .arg(port.isConsole ? QStringLiteral("virtconsole") : QStringLiteral("virtserialport"))
                     .arg(i)
                     .arg(i)
                     .arg(port.name);
        }
    }

    for (qsizetype i = 0; i < serialPorts.size(); ++i) {
        a << QStringLiteral("-chardev")
          << socketChardev(QStringLiteral("ser%1").arg(i), serialPorts.at(i).attachment.fileDescriptor);
        a << QStringLiteral("-serial") << QStringLiteral("chardev:ser%1").arg(i);
    }

    for (qsizetype i = 0; i < directoryShares.size() && i < runtime.shareSocketPaths.size(); ++i) {
        a << QStringLiteral("-chardev")
          << QStringLiteral("socket,id=fs%1,path=%2").arg(i).arg(escapeQemuOptionValue(runtime.shareSocketPaths.at(i)));
        a << QStringLiteral("-device")
          << QStringLiteral("vhost-user-fs-pci,chardev=fs%1,tag=%2").arg(i).arg(directoryShares.at(i).tag);
    }

    a << QStringLiteral("-chardev") << socketChardev(QStringLiteral("qmp"), runtime.qmpDescriptor);
    a << QStringLiteral("-mon") << QStringLiteral("chardev=qmp,mode=control");
    if (!runtime.vncSocketPath.isEmpty())
        a << QStringLiteral("-vnc") << QStringLiteral("unix:") + escapeQemuOptionValue(runtime.vncSocketPath);
    a << QStringLiteral("-display") << QStringLiteral("none");
    return a;
}

QList<int> VirtualMachineConfiguration::inheritedDescriptors(const Runtime &runtime) const
{
    QList<int> fds{runtime.qmpDescriptor};
    for (const ConsolePort &port : consolePorts)
        fds << port.attachment.fileDescriptor;
    for (const SerialPort &port : serialPorts)
        fds << port.attachment.fileDescriptor;
    return fds;
}

} // namespace trellium
