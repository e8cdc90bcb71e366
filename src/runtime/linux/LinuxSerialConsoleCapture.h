#pragma once

#include <QString>
#include <QUuid>

#include <atomic>
#include <mutex>
#include <thread>

namespace trellium {

// Copies everything a guest writes on one serial channel into a log file in
// arrival order, framed by START and END banners. The channel is one end of
// a socket pair that the machine layer hands to QEMU; the capture reads the
// other end on a thread of its own.
class LinuxSerialConsoleCapture {
public:
    // Truncates (or creates) the log and writes the START banner; throws
    // FileError when the log cannot be opened or the socket pair made.
    LinuxSerialConsoleCapture(const QUuid &runtimeID, const QString &logPath);
    ~LinuxSerialConsoleCapture();

    LinuxSerialConsoleCapture(const LinuxSerialConsoleCapture &) = delete;
    LinuxSerialConsoleCapture &operator=(const LinuxSerialConsoleCapture &) = delete;

    // The guest's end (close-on-exec); valid until stop().
    int guestDescriptor() const { return m_guestFd; }
    const QString &logPath() const { return m_logPath; }

    // Idempotent: takes no further bytes, appends the END banner once after
    // everything read before, and closes the log and both socket ends.
    void stop();
    bool isStopped() const { return m_stopped.load(); }

private:
    void readLoop();
    void append(const char *data, size_t size);

    QString m_logPath;
    int m_guestFd = -1;
    int m_hostFd = -1;
    int m_wakeFd = -1;
    int m_logFd = -1;
    std::atomic<bool> m_stopped{false};
    std::mutex m_stopMutex;
    std::thread m_reader;
};

} // namespace trellium
