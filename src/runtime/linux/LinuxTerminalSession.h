#pragma once

#include "model/RuntimeConfig.h"
#include "runtime/PTY.h"
#include "runtime/linux/LinuxSSHKeyManager.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace trellium {

// The newest bytes of a stream, at most `capacity` of them. Appending costs
// only the bytes appended, whatever the fill level.
class TerminalOutputBuffer {
public:
    explicit TerminalOutputBuffer(qsizetype capacity);

    void append(const char *data, qsizetype size);
    // The kept bytes, oldest first.
    QByteArray contents() const;
    qsizetype size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    void clear();

private:
    qsizetype m_capacity;
    std::vector<char> m_storage;
    qsizetype m_start = 0;  // oldest byte once the storage has wrapped
    qsizetype m_size = 0;
};

// One interactive shell in a runtime: the system's ssh client with a forced
// terminal, running in a pseudo-terminal of its own. Lifecycle calls and
// input come from the main thread; one reader thread per session takes the
// output, keeps the newest of it for a reconnecting tablet, and hands every
// chunk to the main thread in arrival order.
class LinuxTerminalSession {
public:
    // Called on the main thread with each new chunk of output.
    using OutputHandler = std::function<void(const QByteArray &chunk)>;

    static constexpr qsizetype maxOutputBufferBytes = 2097152;
    // Input the guest has not taken yet; beyond this, sends are refused
    // rather than blocking the main thread.
    static constexpr qsizetype maxPendingInputBytes = 1048576;
    static constexpr uint16_t initialColumns = 120;
    static constexpr uint16_t initialRows = 32;

    explicit LinuxTerminalSession(RuntimeConfig runtime, QString sshPath = QStringLiteral("/usr/bin/ssh"),
                                  LinuxSSHKeyManager sshManager = {});
    ~LinuxTerminalSession();

    LinuxTerminalSession(const LinuxTerminalSession &) = delete;
    LinuxTerminalSession &operator=(const LinuxTerminalSession &) = delete;

    // Fails with "Terminal" 1 without an address, "PTY" 1 without a
    // pseudo-terminal, the ssh manager's error for a loopback guest without
    // a forwarded port, and FileError when ssh cannot be started. A failed
    // start leaves nothing running. Called once.
    void startTerminal();
    // Ends the shell: no more output is delivered (not even chunks already
    // read), the kept output is dropped, ssh is asked to end and reaped in
    // the background. Idempotent.
    void terminate();

    // Replaces the handler; later chunks go to it.
    void setOutputHandler(OutputHandler handler);
    // Replaces the handler and first hands it everything kept so far (when
    // there is something), before any chunk read after this call. Nothing
    // after terminate().
    void attachOutput(OutputHandler handler);

    // Never blocks: what the terminal cannot take at once is queued. False
    // when nothing was taken: not started, terminated, ssh already ended, or
    // the queue would grow beyond maxPendingInputBytes (logged).
    bool write(const QByteArray &bytes);
    // Sets the terminal's size and tells ssh, which passes it to the guest.
    void resize(uint16_t columns, uint16_t rows);

    const RuntimeConfig &runtime() const { return m_runtime; }
    // Started, not terminated, and ssh has not ended by itself.
    bool isRunning() const;
    // ssh's process id while started; 0 before.
    pid_t processId() const { return m_pid; }
    PTY::WindowSize windowSize() const;
    QByteArray outputSnapshot() const;

private:
    QStringList sshArguments() const;
    void readLoop();
    void appendOutput(QByteArray chunk);
    void post(OutputHandler handler, QByteArray chunk);
    void flushPendingInputLocked();
    void reapChild();
    void signalChild(int signal);
    void wakeReader();

    RuntimeConfig m_runtime;
    QString m_sshPath;
    LinuxSSHKeyManager m_sshManager;

    std::unique_ptr<PTY> m_pty;
    int m_wakeFD = -1;
    std::thread m_reader;
    std::atomic<bool> m_stopping{false};
    bool m_started = false;
    bool m_terminated = false;
    // Checked on the main thread by every queued delivery; cleared on
    // terminate so that nothing arrives after it.
    std::shared_ptr<std::atomic<bool>> m_deliveryAlive;

    mutable std::mutex m_outputLock;  // m_outputBuffer, m_outputHandler
    TerminalOutputBuffer m_outputBuffer{maxOutputBufferBytes};
    OutputHandler m_outputHandler;

    std::mutex m_inputLock;  // m_pendingInput, m_pendingOffset and writes to the master
    QByteArray m_pendingInput;
    qsizetype m_pendingOffset = 0;

    // The pidfd makes a signal safe against a recycled pid; m_reaped
    // additionally spares signals to a child known to be gone.
    mutable std::mutex m_childLock;  // m_pidFD, m_reaped
    pid_t m_pid = 0;
    int m_pidFD = -1;
    bool m_reaped = false;
    std::atomic<bool> m_childExited{false};
};

} // namespace trellium
