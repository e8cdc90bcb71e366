// The agent program itself, started twice over one data folder.
#include "agent/AgentServer.h"
#include "core/Async.h"
#include "core/Files.h"
#include "core/PartialItem.h"
#include "core/Settings.h"
#include "platform/instance/InstanceChannel.h"
#include "platform/instance/SingleInstance.h"
#include "runtime/RuntimeStore.h"

#include "support/ForeignListener.h"
#include "support/Samples.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

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
        // In /tmp itself: the agent's socket path fits an address whatever TMPDIR names.
        ASSERT_TRUE(m_runtimeFolder.isValid());
        m_runtime = std::make_unique<ScopedEnvironmentVariable>("XDG_RUNTIME_DIR", QFile::encodeName(m_runtimeFolder.path()));
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

    // The socket through which the agent takes window requests.
    static QString agentSocket() { return InstanceChannel::socketPaths(applicationSupportRoot()).first(); }

private:
    QTemporaryDir m_runtimeFolder{QStringLiteral("/tmp/rt-XXXXXX")};
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
    // Started as a service is, without windows asked for: nothing to say about them.
    EXPECT_FALSE(first.errors().contains(QStringLiteral("Bildschirm"))) << first.transcript();
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
    EXPECT_TRUE(QFileInfo::exists(agentSocket()));

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

namespace {

const QString kUnknownEmpty =
    QStringLiteral("Unbekanntes Fenster: „“ (bekannt sind settings, components und systemcheck).");

// Checks a launch that ended with a failure: the code, nothing on standard
// output, and the one line on standard error.
void expectFailure(AgentProgram &launch, int code, const QString &line)
{
    ASSERT_TRUE(launch.waitForExit(60s)) << launch.transcript();
    EXPECT_EQ(launch.exitCode(), code) << launch.transcript();
    EXPECT_EQ(launch.output().toStdString(), "");
    EXPECT_EQ(launch.errors().trimmed().toStdString(), line.toStdString());
}

} // namespace

// An empty name is no window, wherever it stands.
TEST_F(SecondLaunch, AnEmptyOrUnknownWindowNameIsRefusedAtTheLaunchAndAtTheAgent)
{
    const QStringList withEmpty{QStringLiteral("--open-window"), QString(), QStringLiteral("--open-window"),
                                QStringLiteral("settings")};
    {
        AgentProgram alone(withEmpty);
        expectFailure(alone, 2, kUnknownEmpty);
    }
    AgentProgram first({});
    ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.transcript();
    {
        AgentProgram second(withEmpty);
        expectFailure(second, 2, kUnknownEmpty);
    }
    {
        AgentProgram second({QStringLiteral("--open-window"), QStringLiteral("nirgends")});
        expectFailure(second, 2,
                      QStringLiteral("Unbekanntes Fenster: „nirgends“ (bekannt sind settings, components und "
                                     "systemcheck)."));
    }
    // A caller that skips the launch's own check meets the agent's.
    const auto refused = InstanceChannel::send(agentSocket(), {QString(), QStringLiteral("settings")}, 60s);
    EXPECT_EQ(refused.delivery, InstanceChannel::Delivery::refused);
    EXPECT_EQ(refused.message, kUnknownEmpty);
    EXPECT_EQ(InstanceChannel::send(agentSocket(), {QStringLiteral("components")}, 60s).delivery,
              InstanceChannel::Delivery::answered);
    ASSERT_TRUE(first.waitForOutput(QStringLiteral("WINDOW SHOWN: components"), 30s)) << first.transcript();
    EXPECT_FALSE(first.output().contains(QStringLiteral("WINDOW SHOWN: settings"))) << first.transcript();
}

// An agent whose socket cannot be trusted or is gone is reported at once;
// one that ended normally leaves its place to the next launch.
TEST_F(SecondLaunch, ALaunchThatCannotReachTheAgentSaysWhyAtOnce)
{
    AgentProgram first({});
    ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.transcript();
    const QString socket = agentSocket();
    const QString socketFolder = QFileInfo(socket).absolutePath();
    const QStringList settings{QStringLiteral("--open-window"), QStringLiteral("settings")};
    const QString unreachable = QStringLiteral("Der laufende TRELLIUM-Agent ist nicht erreichbar: ");

    ASSERT_EQ(::chmod(QFile::encodeName(socketFolder).constData(), 0755), 0);
    {
        AgentProgram launch(settings);
        expectFailure(launch, 1,
                      unreachable
                          + QStringLiteral("Der Ordner des Sockets %1 ist nicht geschützt: auch anderen Benutzern "
                                           "zugänglich")
                                .arg(socket));
    }
    ASSERT_EQ(::chmod(QFile::encodeName(socketFolder).constData(), 0700), 0);

    // Gone while the agent runs: the launch need not wait its bound to know.
    ASSERT_EQ(::unlink(QFile::encodeName(socket).constData()), 0);
    {
        AgentProgram launch(settings);
        expectFailure(launch, 1, unreachable + QStringLiteral("Der Socket %1 des laufenden Prozesses fehlt.").arg(socket));
    }
    removeItem(socketFolder);
    {
        AgentProgram launch(settings);
        expectFailure(launch, 1,
                      unreachable
                          + QStringLiteral("Der Ordner %1 mit dem Socket des laufenden Prozesses fehlt.").arg(socketFolder));
    }
    EXPECT_FALSE(first.output().contains(QStringLiteral("WINDOW SHOWN"))) << first.transcript();

    first.signal(SIGTERM);
    ASSERT_TRUE(first.waitForExit(60s)) << first.transcript();
    EXPECT_EQ(first.exitCode(), 0) << first.transcript();
    AgentProgram next(settings);
    ASSERT_TRUE(next.waitForOutput(QStringLiteral("WINDOW SHOWN: settings"), 60s)) << next.transcript();
}

// Whatever made the agent's folder reachable to another user, the launch
// speaks only to a process of its own user.
TEST_F(SecondLaunch, AsRootALaunchSendsNothingToAListenerOfAnotherUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "listening as another user needs root";
    const auto holder = SingleInstance::launch(applicationSupportRoot(), {});
    ASSERT_EQ(holder.outcome, SingleInstance::Outcome::holder);
    const QString socket = agentSocket();
    createDirectories(QFileInfo(socket).absolutePath());
    ASSERT_EQ(::chmod(QFile::encodeName(QFileInfo(socket).absolutePath()).constData(), 0700), 0);
    ForeignListener listener(socket, 65534);
    QString whyNot;
    ASSERT_TRUE(listener.listening(&whyNot)) << whyNot.toStdString();
    SingleInstance::recordAddress(applicationSupportRoot(), socket);

    AgentProgram launch({QStringLiteral("--open-window"), QStringLiteral("settings")});
    expectFailure(launch, 1,
                  QStringLiteral("Der laufende TRELLIUM-Agent ist nicht erreichbar: Am Socket %1 hört ein Prozess eines "
                                 "anderen Benutzers (Kennung 65534); ihm wurde nichts gesendet.")
                      .arg(socket));
    EXPECT_EQ(listener.received(), QByteArray());
}

namespace {

// An X display nobody serves: no socket, no lock, also not among the
// abstract sockets (which Xvfb listens on too).
QString unservedDisplay()
{
    const QByteArray sockets = readWholeFile(QStringLiteral("/proc/net/unix"));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int number = QRandomGenerator::global()->bounded(4000, 9000);
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
        if (!QFileInfo::exists(socket) && !QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number))
            && !sockets.contains((socket + QLatin1Char('\n')).toUtf8()))
            return QStringLiteral(":%1").arg(number);
    }
    return {};
}

} // namespace

// A display variable whose display does not answer (a dropped ssh
// forwarding; su into a user who may not use the display).
TEST_F(SecondLaunch, AnUnansweredDisplayNeitherStopsAHandOverNorTheAgent)
{
    const QString display = unservedDisplay();
    ASSERT_FALSE(display.isEmpty());
    QProcessEnvironment unanswered = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"})
        unanswered.remove(QString::fromLatin1(name));
    unanswered.insert(QStringLiteral("DISPLAY"), display);
    const QStringList settings{QStringLiteral("--open-window"), QStringLiteral("settings")};

    {
        AgentProgram first({});
        ASSERT_TRUE(first.waitForOutput(kRunning, 60s)) << first.transcript();
        AgentProgram handOver(settings, unanswered);
        ASSERT_TRUE(handOver.waitForExit(60s)) << handOver.transcript();
        EXPECT_EQ(handOver.exitCode(), 0) << handOver.transcript();
        EXPECT_EQ(handOver.output().trimmed().toStdString(), "Die Fenster wurden im laufenden TRELLIUM-Agenten geöffnet.");
        EXPECT_EQ(handOver.errors().toStdString(), "");
        EXPECT_TRUE(first.waitForOutput(QStringLiteral("WINDOW SHOWN: settings"), 30s)) << first.transcript();
    }

    AgentProgram agent(settings, unanswered);
    ASSERT_TRUE(agent.waitForOutput(kRunning, 60s)) << agent.transcript();
    const QString noScreen = QStringLiteral("ohne Bildschirm gestartet (DISPLAY=%1 antwortet nicht) und kann keine "
                                            "Fenster zeigen.")
                                 .arg(display);
    ASSERT_TRUE(waitUntil([&] { return agent.errors().contains(QStringLiteral("Bildschirm")); }, 30s))
        << agent.transcript();
    // Said once, in German, instead of Qt's own words.
    EXPECT_EQ(agent.errors().trimmed().toStdString(),
              (QStringLiteral("Der TRELLIUM-Agent wurde ") + noScreen
               + QStringLiteral(" Er läuft ohne sie weiter (verlangt: settings)."))
                  .toStdString());
    AgentProgram later({QStringLiteral("--open-window"), QStringLiteral("components")});
    expectFailure(later, 1, QStringLiteral("Der laufende TRELLIUM-Agent hat die Fenster nicht geöffnet: Er wurde ") + noScreen);
    EXPECT_FALSE(agent.output().contains(QStringLiteral("WINDOW SHOWN"))) << agent.transcript();
    EXPECT_TRUE(agent.running());
}

// An agent that recorded it is ending is waited for: the launch takes its
// place when it ends within the bound, and says why not when it does not.
TEST_F(SecondLaunch, ALaunchWaitsForAnEndingAgentAndSaysSoWhenItOutlastsTheBound)
{
    auto ending = SingleInstance::launch(applicationSupportRoot(), {});
    ASSERT_EQ(ending.outcome, SingleInstance::Outcome::holder);
    InstanceChannel closed;
    SingleInstance::withdraw(applicationSupportRoot(), closed);
    const QStringList settings{QStringLiteral("--open-window"), QStringLiteral("settings")};
    {
        AgentProgram launch(settings);
        expectFailure(launch, 1,
                      QStringLiteral("Der laufende TRELLIUM-Agent (Datenordner %1) wird gerade beendet; die Fenster "
                                     "wurden nicht geöffnet.")
                          .arg(applicationSupportRoot()));
    }
    AgentProgram successor(settings);
    ending.lock.reset();
    ASSERT_TRUE(successor.waitForOutput(QStringLiteral("WINDOW SHOWN: settings"), 60s)) << successor.transcript();
}
