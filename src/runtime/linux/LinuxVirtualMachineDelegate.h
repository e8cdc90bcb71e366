#pragma once

#include "core/SerialQueue.h"
#include "platform/vm/VirtualMachine.h"
#include "runtime/images/LinuxDiskManager.h"

#include <QString>
#include <QUuid>

#include <memory>

namespace trellium {

// Records a machine's lifecycle notices, with time stamps, in the runtime's
// logs/vm-lifecycle.log; the start sequences add their own milestones. It
// only records: no runtime state changes here. Writes run on a serial queue
// of the delegate's own, in the order handed over.
class LinuxVirtualMachineDelegate final : public VirtualMachineDelegate {
public:
    LinuxVirtualMachineDelegate(const QUuid &runtimeID, QString logURL);

    const QUuid &runtimeID() const { return m_runtimeID; }
    const QString &logURL() const { return m_logURL; }

    // Starts the log afresh: "===== TRELLIUM VM LIFECYCLE START <date> =====" and "runtimeID=<UUID>".
    void writeLifecycleBanner();
    // Hands one formatted text (line feed included) to the queue; returns at once.
    void writeLifecycleLog(const QString &text, bool append);
    // "[<date>] <message>\n", appended.
    void writeEntry(const QString &message);
    // Waits until everything handed over so far is written.
    void flush();

    void guestDidStop(VirtualMachine &machine) override;
    void didStopWithError(VirtualMachine &machine, const Error &error) override;
    void networkAttachmentWasDisconnected(VirtualMachine &machine, const Error &error) override;

    // A new delegate for the runtime's log, with its banner written.
    static std::shared_ptr<LinuxVirtualMachineDelegate> make(const LinuxDiskManager &disks, const QUuid &runtimeID);
    static QString logPath(const LinuxDiskManager &disks, const QUuid &runtimeID);
    // Prints the log's last 8000 characters between banners, or that there is none.
    static void dumpLifecycleLog(const LinuxDiskManager &disks, const QUuid &runtimeID);

private:
    QUuid m_runtimeID;
    QString m_logURL;
    SerialQueue m_queue;
};

} // namespace trellium
