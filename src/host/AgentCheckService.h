#pragma once

#include "host/SystemCheckResult.h"

#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>

namespace trellium {

class AgentComponentManager;

// Answers in one list whether the agent and its host are ready: the agent's
// state, listener and relay, the tool chain, the managed components, the
// workspace-mirror folder and host facts. Never fails: every problem becomes
// an item. Main thread; the tool probes run as bounded child processes, so
// the agent keeps serving while they run.
class AgentCheckService {
public:
    // The agent core's published values, read once when the check starts.
    struct AgentSnapshot {
        QString statusName;  // "offline", "online", "connected", "building" or "failed"
        bool serverRunning = false;
        uint16_t port = 0;
        bool relayConnected = false;
    };

    struct Probe {
        QString path;
        QStringList arguments;
    };

    struct Dependencies {
        std::function<AgentSnapshot()> agent;
        // Null: the shared component manager.
        AgentComponentManager *components = nullptr;
        QString xcodePath = QStringLiteral("/Applications/Xcode.app");
        Probe commandLineTools{QStringLiteral("/usr/bin/xcode-select"), {QStringLiteral("-p")}};
        Probe swift{QStringLiteral("/usr/bin/swift"), {QStringLiteral("--version")}};
        Probe xcodebuild{QStringLiteral("/usr/bin/xcodebuild"), {QStringLiteral("-version")}};
        std::chrono::milliseconds probeTimeout = kProbeTimeout;
    };

    // Version queries answer at once; a tool that does not within this bound
    // is killed and its item fails.
    static constexpr std::chrono::milliseconds kProbeTimeout = std::chrono::seconds(15);
    // More of a tool's output than this is dropped (the detail is one line or two).
    static constexpr qint64 kProbeOutputLimit = 64 * 1024;

    explicit AgentCheckService(Dependencies dependencies);

    // Fourteen items in their fixed order.
    QCoro::Task<SystemCheckResult> runChecks();

    // Runs the tool with its output channels merged and returns the output,
    // whatever the exit status; bytes that are not UTF-8 give "". Throws
    // FileError with the system's reason when the tool cannot be started and
    // TimeoutError when it does not end within `timeout`.
    static QCoro::Task<QString> runToolProbe(QString path, QStringList arguments,
                                             std::chrono::milliseconds timeout = kProbeTimeout);

    // The folder whose presence the "Workspace Mirror" item reports.
    static QString workspaceMirrorPath();

private:
    QCoro::Task<SystemCheckItem> probeItem(QString title, Probe probe, bool trimmed);

    Dependencies m_dependencies;
};

} // namespace trellium
