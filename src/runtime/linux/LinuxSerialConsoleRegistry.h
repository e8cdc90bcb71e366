#pragma once

#include "runtime/linux/LinuxSerialConsoleCapture.h"

#include <QMap>
#include <QString>
#include <QUuid>

#include <memory>

namespace trellium {

// What the machine layer attaches to a serial port: the guest's end of the
// capture's socket pair. The capture keeps the descriptor open until it stops.
struct SerialPortAttachment {
    std::shared_ptr<LinuxSerialConsoleCapture> capture;
    int fileDescriptor() const { return capture ? capture->guestDescriptor() : -1; }
};

// Keeps the captures of running machines, keyed "<UUID>-<name>". Main thread only.
class LinuxSerialConsoleRegistry {
public:
    static LinuxSerialConsoleRegistry &shared();

    // Replaces (and stops) an earlier capture under the same key.
    SerialPortAttachment makeSerialAttachment(const QUuid &runtimeID, const QString &name, const QString &logPath);
    void stopCaptures(const QUuid &runtimeID);
    std::shared_ptr<LinuxSerialConsoleCapture> capture(const QUuid &runtimeID, const QString &name) const;

private:
    QMap<QString, std::shared_ptr<LinuxSerialConsoleCapture>> m_captures;
};

} // namespace trellium
