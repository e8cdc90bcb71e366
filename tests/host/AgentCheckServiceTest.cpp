#include "agent/AgentManager.h"
#include "agent/AgentServer.h"
#include "core/Files.h"
#include "host/AgentCheckService.h"
#include "host/AgentComponentManager.h"

#include "support/Samples.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSysInfo>
#include <QTcpSocket>

#include <cstring>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

class AgentCheckServiceTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        m_tools = scratch(QStringLiteral("tools"));
        // Nothing of the host's tools: every component starts missing.
        AgentComponentManager::Dependencies components;
        components.tools.qemuImg = {m_tools + QStringLiteral("/qemu-img")};
        components.tools.python3 = {m_tools + QStringLiteral("/python3")};
        components.tools.homebrew = {};
        components.tools.xcodeApplications = {m_tools + QStringLiteral("/Xcode.app")};
        components.tools.xcodeSelect = m_tools + QStringLiteral("/components/xcode-select");
        m_components = std::make_unique<AgentComponentManager>(components);

        m_dependencies.agent = [this]() { return m_agent; };
        m_dependencies.components = m_components.get();
        m_dependencies.xcodePath = m_tools + QStringLiteral("/Xcode.app");
        m_dependencies.commandLineTools.path = m_tools + QStringLiteral("/xcode-select");
        m_dependencies.swift.path = m_tools + QStringLiteral("/swift");
        m_dependencies.xcodebuild.path = m_tools + QStringLiteral("/xcodebuild");
        m_agent = {QStringLiteral("online"), true, 9876, false};
    }

    SystemCheckResult check(std::chrono::milliseconds bound = 60s)
    {
        AgentCheckService service(m_dependencies);
        return runSync(service.runChecks(), bound);
    }

    static const SystemCheckItem &item(const SystemCheckResult &result, const QString &title)
    {
        for (const SystemCheckItem &item : result.items) {
            if (item.title == title)
                return item;
        }
        ADD_FAILURE() << "no item " << title.toStdString();
        static const SystemCheckItem none;
        return none;
    }

    QString m_tools;
    std::unique_ptr<AgentComponentManager> m_components;
    AgentCheckService::Dependencies m_dependencies;
    AgentCheckService::AgentSnapshot m_agent;
};

} // namespace

TEST_F(AgentCheckServiceTest, FourteenItemsOnThisHostAndTheAgentAsItIsWhenTheCheckRuns)
{
    // The built-in tool paths and the shared component manager, through
    // the agent: what a user of this host sees.
    AgentManager agent;
    agent.start(0);
    ASSERT_TRUE(agent.server().isRunning());
    agent.relayClient().setConnected(true);
    SystemCheckResult result = runSync(agent.runSystemCheck(), 120s);

    ASSERT_EQ(result.items.size(), 14);
    EXPECT_EQ(result.passedCount() + result.warningCount() + result.failedCount(), 14);
    // Every item is its own.
    QSet<QUuid> ids;
    for (const SystemCheckItem &each : result.items)
        ids.insert(each.id);
    EXPECT_EQ(ids.size(), 14);

    EXPECT_EQ(item(result, QStringLiteral("Xcode")).detail, QStringLiteral("/Applications/Xcode.app"));
    // No Apple tool chain here: each probe fails with the system's reason.
    for (const char *title : {"Command Line Tools", "Swift", "xcodebuild"}) {
        const SystemCheckItem &probe = item(result, QString::fromLatin1(title));
        if (QFileInfo::exists(QStringLiteral("/usr/bin/") + QString::fromLatin1(title).toLower()))
            continue;
        EXPECT_EQ(probe.state, SystemCheckState::failed) << title;
        EXPECT_TRUE(probe.detail.contains(systemReason(ENOENT))) << probe.detail.toStdString();
    }
    const AgentComponentManager &components = AgentComponentManager::shared();
    const SystemCheckItem &qemu = item(result, QStringLiteral("QEMU / qemu-img"));
    EXPECT_EQ(qemu.state, components.qemuImgPath() ? SystemCheckState::passed : SystemCheckState::warning);

    const SystemCheckItem &system = item(result, QStringLiteral("Linux"));
    EXPECT_EQ(system.state, SystemCheckState::passed);
    EXPECT_TRUE(system.detail.startsWith(QSysInfo::prettyProductName()));
    EXPECT_TRUE(system.detail.contains(QSysInfo::kernelVersion()));
    EXPECT_EQ(item(result, QStringLiteral("Hostname")).detail, QSysInfo::machineHostName());

    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).detail, QStringLiteral("online"));
    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).state, SystemCheckState::passed);
    EXPECT_EQ(item(result, QStringLiteral("Lokaler Server")).detail, QStringLiteral("Port %1").arg(agent.server().port()));
    EXPECT_EQ(item(result, QStringLiteral("Relay")).detail, QStringLiteral("Verbunden"));
    // Read when the check runs, not when the agent was made.
    agent.stop();
    result = runSync(agent.runSystemCheck(), 120s);
    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).state, SystemCheckState::failed);
}

TEST_F(AgentCheckServiceTest, AgentComponentsFoldersAndProbesArePassedOnlyWhenPresentWhateverTheToolsExitStatus)
{
    m_agent = {QStringLiteral("offline"), false, 9876, false};
    SystemCheckResult result = check();
    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).state, SystemCheckState::failed);
    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).detail, QStringLiteral("offline"));
    EXPECT_EQ(item(result, QStringLiteral("Lokaler Server")).state, SystemCheckState::failed);
    EXPECT_EQ(item(result, QStringLiteral("Lokaler Server")).detail, QStringLiteral("Nicht gestartet"));
    EXPECT_EQ(item(result, QStringLiteral("Relay")).state, SystemCheckState::warning);
    EXPECT_EQ(item(result, QStringLiteral("Relay")).detail, QStringLiteral("Nicht verbunden"));
    for (const char *title : {"Blender", "XcodeGen", "QEMU / qemu-img"})
        EXPECT_EQ(item(result, QString::fromLatin1(title)).state, SystemCheckState::warning) << title;
    EXPECT_EQ(item(result, QStringLiteral("Xcode")).state, SystemCheckState::failed);
    const SystemCheckItem &mirror = item(result, QStringLiteral("Workspace Mirror"));
    EXPECT_EQ(mirror.state, SystemCheckState::warning);
    EXPECT_EQ(mirror.detail, applicationSupportRoot() + QStringLiteral("/WorkspaceMirror"));

    // The check asks for a fresh status: tools that appeared since are seen.
    test::writeExecutable(m_tools + QStringLiteral("/qemu-img"), "#!/bin/sh\n");
    test::writeExecutable(m_components->xcodeGenExecutablePath(), "#!/bin/sh\n");
    createDirectories(m_dependencies.xcodePath);
    createDirectories(AgentCheckService::workspaceMirrorPath());
    // An error printed by a tool that exits non-zero still means the tool is there.
    test::writeExecutable(m_dependencies.commandLineTools.path,
                          "#!/bin/sh\necho '  xcode-select: error: no developer tools  ' >&2\nexit 2\n");
    test::writeExecutable(m_dependencies.swift.path, "#!/bin/sh\n[ \"$1\" = --version ] && printf 'Swift 6.0\\n\\n'\n");
    // Not UTF-8: the detail is empty, the item still passed.
    test::writeExecutable(m_dependencies.xcodebuild.path, "#!/bin/sh\nprintf 'Xcode \\377\\376\\n'\n");
    // The agent's items follow its published state.
    m_agent = {QStringLiteral("building"), true, 40123, true};
    result = check();
    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).state, SystemCheckState::passed);
    EXPECT_EQ(item(result, QStringLiteral("Lokaler Server")).state, SystemCheckState::passed);
    EXPECT_EQ(item(result, QStringLiteral("Lokaler Server")).detail, QStringLiteral("Port 40123"));
    EXPECT_EQ(item(result, QStringLiteral("Relay")).state, SystemCheckState::passed);
    EXPECT_EQ(item(result, QStringLiteral("Relay")).detail, QStringLiteral("Verbunden"));
    EXPECT_EQ(item(result, QStringLiteral("QEMU / qemu-img")).state, SystemCheckState::passed);
    EXPECT_EQ(item(result, QStringLiteral("QEMU / qemu-img")).detail, m_tools + QStringLiteral("/qemu-img"));
    EXPECT_EQ(item(result, QStringLiteral("XcodeGen")).state, SystemCheckState::passed);
    EXPECT_EQ(item(result, QStringLiteral("Blender")).state, SystemCheckState::warning);
    EXPECT_EQ(item(result, QStringLiteral("Xcode")).state, SystemCheckState::passed);
    EXPECT_EQ(item(result, QStringLiteral("Workspace Mirror")).state, SystemCheckState::passed);
    EXPECT_EQ(result.passedCount() + result.warningCount() + result.failedCount(), 14);
    const SystemCheckItem &tools = item(result, QStringLiteral("Command Line Tools"));
    EXPECT_EQ(tools.state, SystemCheckState::passed);
    EXPECT_EQ(tools.detail, QStringLiteral("xcode-select: error: no developer tools"));
    EXPECT_EQ(item(result, QStringLiteral("Swift")).state, SystemCheckState::passed);
    EXPECT_EQ(item(result, QStringLiteral("Swift")).detail, QStringLiteral("Swift 6.0\n\n"));
    EXPECT_EQ(item(result, QStringLiteral("xcodebuild")).state, SystemCheckState::passed);
    EXPECT_EQ(item(result, QStringLiteral("xcodebuild")).detail, QString());

    // Missing, or present but not executable: failed with the system's reason.
    removeItem(m_dependencies.swift.path);
    QFile::setPermissions(m_dependencies.xcodebuild.path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    // A failed agent serves nobody: a failed item, not a passed one.
    m_agent = {QStringLiteral("failed"), false, 9876, false};
    result = check();
    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).state, SystemCheckState::failed);
    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).detail, QStringLiteral("failed"));
    EXPECT_EQ(item(result, QStringLiteral("Swift")).state, SystemCheckState::failed);
    EXPECT_TRUE(item(result, QStringLiteral("Swift")).detail.contains(systemReason(ENOENT)));
    EXPECT_TRUE(item(result, QStringLiteral("Swift")).detail.contains(m_dependencies.swift.path));
    EXPECT_EQ(item(result, QStringLiteral("xcodebuild")).state, SystemCheckState::failed);
    EXPECT_TRUE(item(result, QStringLiteral("xcodebuild")).detail.contains(systemReason(EACCES)));
}

TEST_F(AgentCheckServiceTest, HangingAndFloodingProbesEndInTheirBoundWhileTheListenerServes)
{
    // One tool floods its pipe and then hangs, one hangs silently; both would
    // block for ten minutes.
    test::writeExecutable(m_dependencies.commandLineTools.path,
                          "#!/bin/sh\nhead -c 67108864 /dev/zero | tr '\\0' x\nexec sleep 600\n");
    test::writeExecutable(m_dependencies.swift.path, "#!/bin/sh\nexec sleep 600\n");
    // One floods and ends: its detail keeps only the start, cut at a whole character.
    test::writeExecutable(m_dependencies.xcodebuild.path, "#!/bin/sh\nyes ä | head -c 67108864\n");
    m_dependencies.probeTimeout = 2s;

    AgentServer server;
    server.setJobHandler([](const std::shared_ptr<AgentConnection> &connection, const BuildJob &job) {
        BuildEvent event;
        event.id = QUuid::createUuid();
        event.jobId = job.id;
        event.kind = BuildEventKind::remoteDesktopVideoFailed;
        event.message = QStringLiteral("served");
        connection->sendEvent(event);
    });
    server.start(0);
    ASSERT_TRUE(server.isRunning());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QByteArray answers;
    QObject::connect(&client, &QTcpSocket::readyRead, &client, [&]() { answers += client.readAll(); });
    const QByteArray line = test::jobLine(BuildJobKind::stopRemoteDesktopVideo);
    // Ask the listener something while the first probe hangs.
    QTimer::singleShot(500ms, &client, [&]() { client.write(line); });

    bool finished = false;
    bool answeredDuringCheck = false;
    QObject::connect(&client, &QTcpSocket::readyRead, &client, [&]() { answeredDuringCheck = !finished; });
    const auto checkAndNote = [&]() -> QCoro::Task<SystemCheckResult> {
        AgentCheckService service(m_dependencies);
        SystemCheckResult checked = co_await service.runChecks();
        finished = true;
        co_return checked;
    };
    QElapsedTimer clock;
    clock.start();
    const SystemCheckResult result = runSync(checkAndNote(), 120s);

    EXPECT_LT(clock.elapsed(), 120'000);
    EXPECT_TRUE(answeredDuringCheck);
    EXPECT_TRUE(answers.contains("served"));
    const SystemCheckItem &flood = item(result, QStringLiteral("Command Line Tools"));
    EXPECT_EQ(flood.state, SystemCheckState::failed);
    EXPECT_EQ(flood.detail, TimeoutError(QStringLiteral("xcode-select")).localizedDescription());
    EXPECT_EQ(item(result, QStringLiteral("Swift")).state, SystemCheckState::failed);
    const SystemCheckItem &chatty = item(result, QStringLiteral("xcodebuild"));
    EXPECT_EQ(chatty.state, SystemCheckState::passed);
    EXPECT_TRUE(chatty.detail.startsWith(QStringLiteral("ä\nä\n")));
    EXPECT_TRUE(chatty.detail.endsWith(QStringLiteral("ä\n…")));
    EXPECT_LE(chatty.detail.toUtf8().size(), AgentCheckService::kProbeOutputLimit + 3);
    EXPECT_EQ(result.items.size(), 14);
}
