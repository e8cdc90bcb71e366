#pragma once

#include "model/RuntimeConfig.h"
#include "runtime/linux/LinuxTerminalSession.h"

#include <QByteArray>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <map>
#include <memory>

namespace trellium {

// At most one terminal session per runtime, for the agent core's terminal
// jobs and the stop and delete sequences. Main thread only. Operations on a
// runtime without a session do nothing.
class RuntimeSessionManager {
public:
    using OutputHandler = LinuxTerminalSession::OutputHandler;

    explicit RuntimeSessionManager(QString sshPath = QStringLiteral("/usr/bin/ssh"));
    ~RuntimeSessionManager();

    RuntimeSessionManager(const RuntimeSessionManager &) = delete;
    RuntimeSessionManager &operator=(const RuntimeSessionManager &) = delete;

    static RuntimeSessionManager &shared();

    // Starts a shell unless the runtime has a session already (then the
    // existing one and its handler stay). A failed start throws and leaves
    // no session.
    void openTerminalSession(const RuntimeConfig &runtime, OutputHandler outputHandler);

    // False when nothing was taken (see LinuxTerminalSession::write).
    bool sendTerminalLine(const QUuid &runtimeID, const QString &text);
    bool sendTerminalText(const QUuid &runtimeID, const QString &text);
    bool sendTerminalData(const QUuid &runtimeID, const QByteArray &bytes);

    // Routes the output to the handler, which first gets what is kept of it.
    // False without a session.
    bool attachTerminalOutput(const QUuid &runtimeID, OutputHandler outputHandler);
    void resizeTerminal(const QUuid &runtimeID, uint16_t columns, uint16_t rows);
    void closeTerminalSession(const QUuid &runtimeID);
    void closeAllTerminalSessions();

    // A session stays listed after its shell ended by itself, until closed.
    bool hasSession(const QUuid &runtimeID) const;
    LinuxTerminalSession *session(const QUuid &runtimeID) const;

private:
    QString m_sshPath;
    std::map<QUuid, std::unique_ptr<LinuxTerminalSession>> m_sessions;
};

} // namespace trellium
