// The agent program itself, started twice over one data folder.
#include "agent/AgentServer.h"
#include "core/Async.h"
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
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>

using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;

namespace {

const QString kRunning = QStringLiteral("WINDOW REQUESTS ON");

// One run of trellium-agent with the test's environment, its standard
// output and standard error collected apart.
class AgentProgram {
public:
    explicit AgentProgram(const QStringList &arguments,
                          const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        m_process.setProcessEnvironment(environment);
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
        m_output += m_process.readAllStandardOutput();
        return QString::fromUtf8(m_output);
    }
    QString errors()
    {
        m_errors += m_process.readAllStandardError();
        return QString::fromUtf8(m_errors);
    }
    // Both, for a failure's message.
    std::string transcript() { return (output() + QStringLiteral("\n--- standard error:\n") + errors()).toStdString(); }
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
    QByteArray m_errors;
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
    ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.transcript();

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
    EXPECT_TRUE(second.waitForExit(30s)) << second.transcript();
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_EQ(second.output().toStdString(), "");
    EXPECT_EQ(second.errors().trimmed().toStdString(),
              QStringLiteral("Der TRELLIUM-Agent läuft bereits mit dem Datenordner %1; seine Fenster öffnet "
                             "„trellium-agent --open-window settings|components|systemcheck“.")
                  .arg(applicationSupportRoot())
                  .toStdString());
    EXPECT_EQ(agentFiles(), before);

    AgentProgram withWindow({QStringLiteral("--open-window"), QStringLiteral("settings")});
    EXPECT_TRUE(withWindow.waitForExit(30s)) << withWindow.transcript();
    EXPECT_EQ(withWindow.exitCode(), 0) << withWindow.transcript();
    EXPECT_EQ(agentFiles(), before);
    EXPECT_EQ(RuntimeStore().readRuntime(record.id).state, RuntimeState::starting) << "recovered by a second agent";
    EXPECT_TRUE(first.running());
}

TEST_F(SecondLaunch, HandsItsWindowsToTheRunningAgentAndGivesUpOnOneThatDoesNotAnswer)
{
    AgentProgram first({});
    ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.transcript();

    AgentProgram second({QStringLiteral("--open-window"), QStringLiteral("components"), QStringLiteral("--open-window"),
                         QStringLiteral("systemcheck")});
    ASSERT_TRUE(second.waitForExit(60s)) << second.transcript();
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(second.output().trimmed().toStdString(), "Die Fenster wurden im laufenden TRELLIUM-Agenten geöffnet.");
    EXPECT_TRUE(first.waitForOutput(QStringLiteral("WINDOW SHOWN: components"), 30s)) << first.transcript();
    EXPECT_TRUE(first.waitForOutput(QStringLiteral("WINDOW SHOWN: systemcheck"), 60s)) << first.transcript();

    // A running agent that does not answer (stopped here) does not hold the
    // launch: it ends with a failure, and the windows stay a matter for the
    // user.
    first.signal(SIGSTOP);
    AgentProgram unanswered({QStringLiteral("--open-window"), QStringLiteral("settings")});
    const bool ended = unanswered.waitForExit(60s);
    first.signal(SIGCONT);
    ASSERT_TRUE(ended) << unanswered.transcript();
    EXPECT_EQ(unanswered.exitCode(), 1);
    EXPECT_EQ(unanswered.output().toStdString(), "");
    EXPECT_EQ(unanswered.errors().trimmed().toStdString(),
              QStringLiteral("Der laufende TRELLIUM-Agent (Datenordner %1) antwortet nicht; die Fenster wurden nicht "
                             "geöffnet.")
                  .arg(applicationSupportRoot())
                  .toStdString());

    // Woken up, the agent lives on (the caller that gave up is gone) and
    // takes the next request.
    AgentProgram later({QStringLiteral("--open-window"), QStringLiteral("settings")});
    ASSERT_TRUE(later.waitForExit(60s)) << later.transcript();
    EXPECT_EQ(later.exitCode(), 0) << later.transcript();
    EXPECT_TRUE(first.waitForOutput(QStringLiteral("WINDOW SHOWN: settings"), 30s)) << first.transcript();
    // The request of the launch that gave up was not carried out late.
    EXPECT_EQ(first.output().count(QStringLiteral("WINDOW SHOWN: settings")), 1) << first.transcript();
    EXPECT_TRUE(first.running());
}

TEST_F(SecondLaunch, AnAgentStartedWithoutADisplayRefusesWindowsItCannotShow)
{
    QProcessEnvironment headless = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        headless.remove(QString::fromLatin1(name));
    AgentProgram first({}, headless);
    ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.transcript();

    AgentProgram second({QStringLiteral("--open-window"), QStringLiteral("settings")});
    ASSERT_TRUE(second.waitForExit(60s)) << second.transcript();
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_EQ(second.output().toStdString(), "");
    EXPECT_EQ(second.errors().trimmed().toStdString(),
              "Der laufende TRELLIUM-Agent hat die Fenster nicht geöffnet: Er wurde ohne Bildschirm gestartet (weder "
              "DISPLAY noch WAYLAND_DISPLAY war gesetzt) und kann keine Fenster zeigen.");
    EXPECT_FALSE(first.output().contains(QStringLiteral("WINDOW SHOWN"))) << first.transcript();
    EXPECT_TRUE(first.running());
}

TEST_F(SecondLaunch, AKilledAgentLeavesNothingThatBlocksTheNextStart)
{
    {
        AgentProgram killed({});
        ASSERT_TRUE(killed.waitForOutput(kRunning, 60s)) << killed.transcript();
        killed.signal(SIGKILL);
        ASSERT_TRUE(killed.waitForExit(30s));
    }
    // What it left: its lock file and its socket.
    EXPECT_TRUE(QFileInfo::exists(SingleInstance::lockPath(applicationSupportRoot())));
    EXPECT_TRUE(QFileInfo::exists(InstanceChannel::socketPaths(applicationSupportRoot()).first()));

    AgentProgram next({QStringLiteral("--open-window"), QStringLiteral("settings")});
    ASSERT_TRUE(next.waitForOutput(kRunning, 60s)) << next.transcript();
    EXPECT_TRUE(next.waitForOutput(QStringLiteral("WINDOW SHOWN: settings"), 30s)) << next.transcript();
    AgentProgram handOver({QStringLiteral("--open-window"), QStringLiteral("components")});
    ASSERT_TRUE(handOver.waitForExit(60s)) << handOver.transcript();
    EXPECT_EQ(handOver.exitCode(), 0) << handOver.transcript();
    EXPECT_TRUE(next.waitForOutput(QStringLiteral("WINDOW SHOWN: components"), 30s)) << next.transcript();
}

// A terminal after su, cron or a service unit: the launch's runtime folder
// is not the agent's, or there is none.
TEST_F(SecondLaunch, HandsItsWindowsOverFromAnotherRuntimeFolderOrNone)
{
    AgentProgram first({});
    ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.transcript();

    QProcessEnvironment elsewhere = QProcessEnvironment::systemEnvironment();
    const QString other = scratch(QStringLiteral("other-run"));
    ASSERT_EQ(::chmod(QFile::encodeName(other).constData(), 0700), 0);
    elsewhere.insert(QStringLiteral("XDG_RUNTIME_DIR"), other);
    QProcessEnvironment nowhere = QProcessEnvironment::systemEnvironment();
    nowhere.remove(QStringLiteral("XDG_RUNTIME_DIR"));

    int shown = 0;
    for (const auto &environment : {elsewhere, nowhere}) {
        AgentProgram launch({QStringLiteral("--open-window"), QStringLiteral("settings")}, environment);
        ASSERT_TRUE(launch.waitForExit(60s)) << launch.transcript();
        EXPECT_EQ(launch.exitCode(), 0) << launch.transcript();
        EXPECT_EQ(launch.output().trimmed().toStdString(), "Die Fenster wurden im laufenden TRELLIUM-Agenten geöffnet.");
        ++shown;
        EXPECT_TRUE(waitUntil([&] { return first.output().count(QStringLiteral("WINDOW SHOWN: settings")) == shown; }, 30s))
            << first.transcript();
    }
    // Neither looked for a socket of its own.
    EXPECT_TRUE(listDirectory(other).isEmpty());
}

TEST_F(SecondLaunch, AnAgentStartedWithoutADisplayAndAskedForWindowsSaysItShowsNoneAndRunsOn)
{
    QProcessEnvironment headless = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        headless.remove(QString::fromLatin1(name));
    AgentProgram first({QStringLiteral("--open-window"), QStringLiteral("settings")}, headless);
    ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.transcript();
    EXPECT_TRUE(waitUntil([&] { return first.errors().contains(QStringLiteral("Bildschirm")); }, 30s)) << first.transcript();
    EXPECT_TRUE(first.errors().contains(
        QStringLiteral("Der TRELLIUM-Agent wurde ohne Bildschirm gestartet (weder DISPLAY noch WAYLAND_DISPLAY war "
                       "gesetzt) und kann keine Fenster zeigen. Er läuft ohne sie weiter (verlangt: settings).")))
        << first.transcript();
    // A window would show within moments of the start; there is none.
    runSync(sleepFor(1s));
    EXPECT_FALSE(first.output().contains(QStringLiteral("WINDOW SHOWN"))) << first.transcript();
    EXPECT_TRUE(first.running());
}

namespace {

// A folder the agent cannot write into: a read-only file system as root
// (who writes wherever modes say no), the modes otherwise.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString &folder) : m_folder(QFile::encodeName(folder))
    {
        createDirectories(folder);
        m_mounted = ::geteuid() == 0
            && ::mount("tmpfs", m_folder.constData(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV, "size=64k") == 0;
        m_ready = m_mounted || ::chmod(m_folder.constData(), 0555) == 0;
    }
    ~ReadOnlyFolder()
    {
        if (m_mounted)
            ::umount2(m_folder.constData(), MNT_DETACH);
        else
            ::chmod(m_folder.constData(), 0755);
    }
    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;

    bool ready() const { return m_ready; }

private:
    QByteArray m_folder;
    bool m_mounted = false;
    bool m_ready = false;
};

} // namespace

TEST_F(SecondLaunch, ALaunchThatCannotTakeItsLockSaysWhyAndFails)
{
    const auto startsNot = [](AgentProgram &launch) {
        EXPECT_TRUE(launch.waitForExit(60s)) << launch.transcript();
        EXPECT_EQ(launch.exitCode(), 1) << launch.transcript();
        EXPECT_EQ(launch.output().toStdString(), "");
        EXPECT_TRUE(launch.errors().startsWith(QStringLiteral("Der TRELLIUM-Agent startet nicht: ")))
            << launch.transcript();
    };
    // Something that is no file where the lock belongs.
    createDirectories(SingleInstance::lockPath(applicationSupportRoot()));
    {
        AgentProgram launch({});
        startsNot(launch);
        EXPECT_TRUE(launch.errors().contains(SingleInstance::lockPath(applicationSupportRoot()))) << launch.transcript();
    }
    removeItem(SingleInstance::lockPath(applicationSupportRoot()));

    ReadOnlyFolder readOnly(applicationSupportRoot());
    ASSERT_TRUE(readOnly.ready());
    AgentProgram launch({QStringLiteral("--open-window"), QStringLiteral("settings")});
    startsNot(launch);
}
