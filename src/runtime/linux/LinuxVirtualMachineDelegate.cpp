#include "runtime/linux/LinuxVirtualMachineDelegate.h"

#include "core/Files.h"
#include "core/Json.h"
#include "core/Log.h"
#include "core/Text.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace trellium {

namespace {
QString now()
{
    return formatDateDescription(QDateTime::currentDateTimeUtc());
}
} // namespace

LinuxVirtualMachineDelegate::LinuxVirtualMachineDelegate(const QUuid &runtimeID, QString logURL)
    : m_runtimeID(runtimeID), m_logURL(std::move(logURL)),
      m_queue(QStringLiteral("trellium.vm-lifecycle.") + uuidText(runtimeID))
{
}

void LinuxVirtualMachineDelegate::writeLifecycleBanner()
{
    writeLifecycleLog(QStringLiteral("===== TRELLIUM VM LIFECYCLE START %1 =====\nruntimeID=%2\n")
                          .arg(now(), uuidText(m_runtimeID)),
                      false);
}

void LinuxVirtualMachineDelegate::writeLifecycleLog(const QString &text, bool append)
{
    const QByteArray bytes = text.toUtf8();
    const QString path = m_logURL;
    m_queue.async([bytes, path, append]() {
        try {
            createDirectories(QFileInfo(path).absolutePath());
            QFile file(path);
            const QIODevice::OpenMode mode = QIODevice::WriteOnly | (append ? QIODevice::Append : QIODevice::Truncate);
            if (!file.open(mode))
                throw FileError(QStringLiteral("Öffnen"), path, file.errorString());
            if (file.write(bytes) != bytes.size())
                throw FileError(QStringLiteral("Schreiben"), path, file.errorString());
            file.close();
        } catch (const std::exception &error) {
            logLine(QStringLiteral("VM lifecycle log write failed:"), describeError(error));
        }
    });
}

void LinuxVirtualMachineDelegate::writeEntry(const QString &message)
{
    writeLifecycleLog(QLatin1Char('[') + now() + QStringLiteral("] ") + message + QLatin1Char('\n'), true);
}

void LinuxVirtualMachineDelegate::flush()
{
    m_queue.sync([]() {});
}

void LinuxVirtualMachineDelegate::guestDidStop(VirtualMachine &machine)
{
    writeEntry(QStringLiteral("guestDidStop state=%1").arg(machine.stateCode()));
}

void LinuxVirtualMachineDelegate::didStopWithError(VirtualMachine &machine, const Error &error)
{
    writeEntry(QStringLiteral("didStopWithError state=%1 error=%2").arg(machine.stateCode()).arg(error.localizedDescription()));
}

void LinuxVirtualMachineDelegate::networkAttachmentWasDisconnected(VirtualMachine &machine, const Error &error)
{
    writeEntry(QStringLiteral("networkAttachmentDisconnected state=%1 error=%2")
                   .arg(machine.stateCode())
                   .arg(error.localizedDescription()));
}

QString LinuxVirtualMachineDelegate::logPath(const LinuxDiskManager &disks, const QUuid &runtimeID)
{
    return disks.runtimeDirectory(runtimeID) + QStringLiteral("/logs/vm-lifecycle.log");
}

std::shared_ptr<LinuxVirtualMachineDelegate> LinuxVirtualMachineDelegate::make(const LinuxDiskManager &disks,
                                                                               const QUuid &runtimeID)
{
    auto delegate = std::make_shared<LinuxVirtualMachineDelegate>(runtimeID, logPath(disks, runtimeID));
    delegate->writeLifecycleBanner();
    return delegate;
}

void LinuxVirtualMachineDelegate::dumpLifecycleLog(const LinuxDiskManager &disks, const QUuid &runtimeID)
{
    const QString path = logPath(disks, runtimeID);
    QString log;
    try {
        log = QString::fromUtf8(readWholeFile(path));
    } catch (const std::exception &) {
        logLine(QStringLiteral("No VM lifecycle log found:"), path);
        return;
    }
    logLine(QStringLiteral("===== VM LIFECYCLE LOG ====="));
    logLine(lastCharacters(log, 8000));
    logLine(QStringLiteral("============================"));
}

} // namespace trellium
