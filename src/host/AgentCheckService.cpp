#include "host/AgentCheckService.h"

#include "core/Files.h"
#include "core/Process.h"
#include "host/AgentComponentManager.h"

#include <QFile>
#include <QStringDecoder>
#include <QSysInfo>

#include <cerrno>
#include <unistd.h>

namespace trellium {

namespace {

SystemCheckItem makeItem(QString title, SystemCheckCategory category, SystemCheckState state, QString detail)
{
    SystemCheckItem item;
    item.title = std::move(title);
    item.category = category;
    item.state = state;
    item.detail = std::move(detail);
    return item;
}

SystemCheckItem componentItem(QString title, const AgentComponentManager::State &state, QString detail)
{
    // Anything but installed, a failed install included, is only a warning:
    // the agent runs without the tool.
    const bool installed = state.kind() == AgentComponentManager::State::Kind::installed;
    return makeItem(std::move(title), SystemCheckCategory::components,
                    installed ? SystemCheckState::passed : SystemCheckState::warning, std::move(detail));
}

// Drops a multi-byte character that the output limit cut in two.
QByteArray withoutCutCharacter(QByteArray bytes)
{
    for (int back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const auto byte = quint8(bytes.at(bytes.size() - back));
        if ((byte & 0xC0) != 0x80) {
            const int length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            if (length > back)
                bytes.chop(back);
            break;
        }
    }
    return bytes;
}

QString operatingSystemTitle()
{
#if defined(Q_OS_MACOS)
    return QStringLiteral("macOS");
#else
    return QStringLiteral("Linux");
#endif
}

QString operatingSystemDetail()
{
#if defined(Q_OS_MACOS)
    return QSysInfo::productVersion();
#else
    return QSysInfo::prettyProductName() + QStringLiteral(" · Kernel ") + QSysInfo::kernelVersion();
#endif
}

} // namespace

AgentCheckService::AgentCheckService(Dependencies dependencies) : m_dependencies(std::move(dependencies)) {}

QString AgentCheckService::workspaceMirrorPath()
{
    return applicationSupportRoot() + QStringLiteral("/WorkspaceMirror");
}

QCoro::Task<QString> AgentCheckService::runToolProbe(QString path, QStringList arguments,
                                                     std::chrono::milliseconds timeout)
{
    // The system's own reason (such as a missing file) becomes the detail.
    if (::access(QFile::encodeName(path).constData(), X_OK) != 0)
        throw FileError::fromErrno(QStringLiteral("Programmstart"), path, errno);
    ProcessOptions options;
    options.channels = ProcessOptions::Channels::Merged;
    options.timeout = timeout;
    options.outputLimit = kProbeOutputLimit;
    const ProcessResult result = co_await runProcess(path, arguments, options);
    const QByteArray bytes =
        result.outputTruncated ? withoutCutCharacter(result.standardOutput) : result.standardOutput;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        co_return QString();
    co_return result.outputTruncated ? text + QStringLiteral("…") : text;
}

QCoro::Task<SystemCheckItem> AgentCheckService::probeItem(QString title, Probe probe, bool trimmed)
{
    try {
        const QString output = co_await runToolProbe(probe.path, probe.arguments, m_dependencies.probeTimeout);
        co_return makeItem(std::move(title), SystemCheckCategory::appleToolchain, SystemCheckState::passed,
                           trimmed ? output.trimmed() : output);
    } catch (const std::exception &error) {
        co_return makeItem(std::move(title), SystemCheckCategory::appleToolchain, SystemCheckState::failed,
                           describeError(error));
    }
}

QCoro::Task<SystemCheckResult> AgentCheckService::runChecks()
{
    SystemCheckResult result;
    QList<SystemCheckItem> &items = result.items;

    const AgentSnapshot agent = m_dependencies.agent ? m_dependencies.agent() : AgentSnapshot{QStringLiteral("offline")};
    // A failed agent serves nobody: failed like offline.
    const bool agentUp = agent.statusName != QLatin1String("offline") && agent.statusName != QLatin1String("failed");
    items.append(makeItem(QStringLiteral("Agent Status"), SystemCheckCategory::agent,
                          agentUp ? SystemCheckState::passed : SystemCheckState::failed, agent.statusName));
    items.append(makeItem(QStringLiteral("Lokaler Server"), SystemCheckCategory::network,
                          agent.serverRunning ? SystemCheckState::passed : SystemCheckState::failed,
                          agent.serverRunning ? QStringLiteral("Port ") + QString::number(agent.port)
                                              : QStringLiteral("Nicht gestartet")));
    items.append(makeItem(QStringLiteral("Relay"), SystemCheckCategory::network,
                          agent.relayConnected ? SystemCheckState::passed : SystemCheckState::warning,
                          agent.relayConnected ? QStringLiteral("Verbunden") : QStringLiteral("Nicht verbunden")));

    items.append(makeItem(QStringLiteral("Xcode"), SystemCheckCategory::appleToolchain,
                          itemExists(m_dependencies.xcodePath) ? SystemCheckState::passed : SystemCheckState::failed,
                          m_dependencies.xcodePath));

    items.append(co_await probeItem(QStringLiteral("Command Line Tools"), m_dependencies.commandLineTools, true));
    items.append(co_await probeItem(QStringLiteral("Swift"), m_dependencies.swift, false));
    items.append(co_await probeItem(QStringLiteral("xcodebuild"), m_dependencies.xcodebuild, false));

    AgentComponentManager &components =
        m_dependencies.components ? *m_dependencies.components : AgentComponentManager::shared();
    co_await components.refreshStatus();
    items.append(componentItem(QStringLiteral("Blender"), components.state(), components.statusDetail()));
    items.append(componentItem(QStringLiteral("XcodeGen"), components.xcodeGenState(), components.xcodeGenDetail()));
    items.append(componentItem(QStringLiteral("QEMU / qemu-img"), components.qemuState(), components.qemuDetail()));

    const QString mirror = workspaceMirrorPath();
    items.append(makeItem(QStringLiteral("Workspace Mirror"), SystemCheckCategory::workspace,
                          itemExists(mirror) ? SystemCheckState::passed : SystemCheckState::warning, mirror));
    items.append(makeItem(QStringLiteral("Runtime Manager"), SystemCheckCategory::runtime, SystemCheckState::passed,
                          QStringLiteral("Verfügbar")));
    items.append(makeItem(operatingSystemTitle(), SystemCheckCategory::system, SystemCheckState::passed,
                          operatingSystemDetail()));
    const QString hostName = QSysInfo::machineHostName();
    items.append(makeItem(QStringLiteral("Hostname"), SystemCheckCategory::system, SystemCheckState::passed,
                          hostName.isEmpty() ? QStringLiteral("Unbekannt") : hostName));
    co_return result;
}

} // namespace trellium
