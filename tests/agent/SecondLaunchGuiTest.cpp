// The agent program itself, started twice over one data folder.
#include "agent/AgentServer.h"
#include "core/Files.h"
#include "core/PartialItem.h"
#include "core/Settings.h"
#include "platform/instance/InstanceChannel.h"
#include "platform/instance/SingleInstance.h"
#include "runtime/RuntimeStore.h"

#include "support/Samples.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

#include <csignal>
#include <map>
#include <sys/prctl.h>
#include <sys/stat.h>

using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;

namespace {

const QString kRunning = QStringLiteral("WINDOW REQUESTS ON");

// One run of trellium-agent with the test's environment, its output
// collected.
class AgentProgram {
public:
    explicit AgentProgram(const QStringList &arguments,
                          const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardInputFile(QProcess::nullDevice());
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(QStringLiteral(TRELLIUM_AGENT_PROGRAM), arguments);
    }
    ~AgentProgram()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!waitForExit(30s))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    QString output()
    {
        m_output += m_process.readAll();
        return QString::fromUtf8(m_output);
    }
    bool waitForOutput(const QString &text, std::chrono::milliseconds bound)
    {
        return waitUntil([&] { return output().contains(text); }, bound);
    }
    bool waitForExit(std::chrono::milliseconds bound)
    {
        return waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, bound);
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    int exitCode() const { return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1; }
    void signal(int number) const { ::kill(pid_t(m_process.processId()), number); }

private:
    QProcess m_process;
    QByteArray m_output;
};

// Every file and folder below `root`: its identity, times and content.
std::map<std::string, std::string> snapshot(const QString &root)
{
    std::map<std::string, std::string> items;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat status {};
        ::lstat(QFile::encodeName(path).constData(), &status);
        QString item = QStringLiteral("inode %1 mode %2 size %3 mtime %4.%5")
                           .arg(status.st_ino)
                           .arg(status.st_mode, 0, 8)
                           .arg(status.st_size)
                           .arg(status.st_mtim.tv_sec)
                           .arg(status.st_mtim.tv_nsec);
        if (S_ISREG(status.st_mode))
            item += QLatin1Char(' ')
                + QString::fromLatin1(QCryptographicHash::hash(readWholeFile(path), QCryptographicHash::Sha256).toHex());
        items.emplace(path.toStdString(), item.toStdString());
    }
    return items;
}

class SecondLaunch : public DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        const QString runtime = scratch(QStringLiteral("run"));
        ASSERT_EQ(::chmod(QFile::encodeName(runtime).constData(), 0700), 0);
        m_runtime = std::make_unique<ScopedEnvironmentVariable>("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        // A loopback address of its own: port 9876 there is free whatever
        // else runs on this machine.
        auto *random = QRandomGenerator::global();
        const QString address = QStringLiteral("127.%1.%2.%3")
                                    .arg(random->bounded(1, 255))
                                    .arg(random->bounded(0, 256))
                                    .arg(random->bounded(1, 255));
        userDefaults()->setValue(QString::fromLatin1(AgentServer::kListenAddressKey), address);
    }
    void TearDown() override
    {
        m_runtime.reset();
        DataHomeTest::TearDown();
    }

    // Data and settings, where a second agent would write.
    std::map<std::string, std::string> agentFiles() const
    {
        auto files = snapshot(dataHome() + QStringLiteral("/data"));
        files.merge(snapshot(dataHome() + QStringLiteral("/config")));
        return files;
    }

private:
    std::unique_ptr<ScopedEnvironmentVariable> m_runtime;
};

} // namespace

TEST_F(SecondLaunch, LeavesTheRunningAgentsRecordsAndPartialFilesAloneAndSaysItRuns)
{
    AgentProgram first({});
    ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.output().toStdString();

    // The running agent's state: a runtime it is starting (which a start
    // would recover as interrupted) and a download it is writing.
    RuntimeConfig record = sampleRuntime(scratch(QStringLiteral("workspace")));
    record.state = RuntimeState::starting;
    RuntimeStore().saveRuntimeConfig(record);
    const QString partial =
        applicationSupportRoot() + QStringLiteral("/BaseImages/debian-12/.disk.img.trellium-partial-0123456789abcdef");
    ASSERT_TRUE(PartialItem::isPartialName(QFileInfo(partial).fileName()));
    createDirectories(QFileInfo(partial).absolutePath());
    createFileExclusively(partial, randomBytes(64 * 1024));
    const auto before = agentFiles();

    AgentProgram second({});
    EXPECT_TRUE(second.waitForExit(30s)) << second.output().toStdString();
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_EQ(second.output().trimmed().toStdString(),
              QStringLiteral("Der TRELLIUM-Agent läuft bereits mit dem Datenordner %1; seine Fenster öffnet "
                             "„trellium-agent --open-window settings|components|systemcheck“.")
                  .arg(applicationSupportRoot())
                  .toStdString());
    EXPECT_EQ(agentFiles(), before);

    AgentProgram withWindow({QStringLiteral("--open-window"), QStringLiteral("settings")});
    EXPECT_TRUE(withWindow.waitForExit(30s)) << withWindow.output().toStdString();
    EXPECT_EQ(withWindow.exitCode(), 0) << withWindow.output().toStdString();
    EXPECT_EQ(agentFiles(), before);
    EXPECT_EQ(RuntimeStore().readRuntime(record.id).state, RuntimeState::starting) << "recovered by a second agent";
    EXPECT_TRUE(first.running());
}

TEST_F(SecondLaunch, HandsItsWindowsToTheRunningAgentAndGivesUpOnOneThatDoesNotAnswer)
{
    AgentProgram first({});
    ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.output().toStdString();

    AgentProgram second({QStringLiteral("--open-window"), QStringLiteral("components"), QStringLiteral("--open-window"),
                         QStringLiteral("systemcheck")});
    ASSERT_TRUE(second.waitForExit(60s)) << second.output().toStdString();
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(second.output().trimmed().toStdString(), "Die Fenster wurden im laufenden TRELLIUM-Agenten geöffnet.");
    EXPECT_TRUE(first.waitForOutput(QStringLiteral("WINDOW SHOWN: components"), 30s)) << first.output().toStdString();
    EXPECT_TRUE(first.waitForOutput(QStringLiteral("WINDOW SHOWN: systemcheck"), 60s)) << first.output().toStdString();

    // A running agent that does not answer (stopped here) does not hold the
    // launch: it ends with a failure, and the windows stay a matter for the
    // user.
    first.signal(SIGSTOP);
    AgentProgram unanswered({QStringLiteral("--open-window"), QStringLiteral("settings")});
    const bool ended = unanswered.waitForExit(60s);
    first.signal(SIGCONT);
    ASSERT_TRUE(ended) << unanswered.output().toStdString();
    EXPECT_EQ(unanswered.exitCode(), 1);
    EXPECT_EQ(unanswered.output().trimmed().toStdString(),
              QStringLiteral("Der laufende TRELLIUM-Agent (Datenordner %1) antwortet nicht; die Fenster wurden nicht "
                             "geöffnet.")
                  .arg(applicationSupportRoot())
                  .toStdString());

    // Woken up, the agent lives on (the caller that gave up is gone) and
    // takes the next request.
    AgentProgram later({QStringLiteral("--open-window"), QStringLiteral("settings")});
    ASSERT_TRUE(later.waitForExit(60s)) << later.output().toStdString();
    EXPECT_EQ(later.exitCode(), 0) << later.output().toStdString();
    EXPECT_TRUE(first.waitForOutput(QStringLiteral("WINDOW SHOWN: settings"), 30s)) << first.output().toStdString();
    // The request of the launch that gave up was not carried out late.
    EXPECT_EQ(first.output().count(QStringLiteral("WINDOW SHOWN: settings")), 1) << first.output().toStdString();
    EXPECT_TRUE(first.running());
}

TEST_F(SecondLaunch, AnAgentStartedWithoutADisplayRefusesWindowsItCannotShow)
{
    QProcessEnvironment headless = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        headless.remove(QString::fromLatin1(name));
    AgentProgram first({}, headless);
    ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.output().toStdString();

    AgentProgram second({QStringLiteral("--open-window"), QStringLiteral("settings")});
    ASSERT_TRUE(second.waitForExit(60s)) << second.output().toStdString();
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_EQ(second.output().trimmed().toStdString(),
              "Der laufende TRELLIUM-Agent hat die Fenster nicht geöffnet: Er wurde ohne Bildschirm gestartet (weder "
              "DISPLAY noch WAYLAND_DISPLAY war gesetzt) und kann keine Fenster zeigen.");
    EXPECT_FALSE(first.output().contains(QStringLiteral("WINDOW SHOWN"))) << first.output().toStdString();
    EXPECT_TRUE(first.running());
}

TEST_F(SecondLaunch, AKilledAgentLeavesNothingThatBlocksTheNextStart)
{
    {
        AgentProgram killed({});
        ASSERT_TRUE(killed.waitForOutput(kRunning, 60s)) << killed.output().toStdString();
        killed.signal(SIGKILL);
        ASSERT_TRUE(killed.waitForExit(30s));
    }
    // What it left: its lock file and its socket.
    EXPECT_TRUE(QFileInfo::exists(SingleInstance::lockPath(applicationSupportRoot())));
    EXPECT_TRUE(QFileInfo::exists(InstanceChannel::socketPath(applicationSupportRoot())));

    AgentProgram next({QStringLiteral("--open-window"), QStringLiteral("settings")});
    ASSERT_TRUE(next.waitForOutput(kRunning, 60s)) << next.output().toStdString();
    EXPECT_TRUE(next.waitForOutput(QStringLiteral("WINDOW SHOWN: settings"), 30s)) << next.output().toStdString();
    AgentProgram handOver({QStringLiteral("--open-window"), QStringLiteral("components")});
    ASSERT_TRUE(handOver.waitForExit(60s)) << handOver.output().toStdString();
    EXPECT_EQ(handOver.exitCode(), 0) << handOver.output().toStdString();
    EXPECT_TRUE(next.waitForOutput(QStringLiteral("WINDOW SHOWN: components"), 30s)) << next.output().toStdString();
}
