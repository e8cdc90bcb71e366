#include "host/AgentComponentManager.h"
#include "host/ComponentError.h"

#include "core/Files.h"
#include "support/ComponentFixtures.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QFile>

using namespace trellium;
using namespace std::chrono_literals;
using Kind = AgentComponentManager::State::Kind;
using State = AgentComponentManager::State;
using Tool = AgentComponentManager::Tool;

namespace {

// Every tool of the table lives in the test's own folders, so nothing
// depends on what the host has installed.
class ComponentStatus : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        m_root = scratch(QStringLiteral("host"));
        m_dependencies.tools.qemuImg = {QStringLiteral("QEMU/bin/qemu-img"), m_root + QStringLiteral("/opt/qemu-img"),
                                        m_root + QStringLiteral("/local/qemu-img")};
        m_dependencies.tools.python3 = {QStringLiteral("Python/bin/python3"), m_root + QStringLiteral("/opt/python3"),
                                        m_root + QStringLiteral("/usr/python3")};
        m_dependencies.tools.homebrew = {m_root + QStringLiteral("/opt/brew")};
        m_dependencies.tools.xcodeApplications = {m_root + QStringLiteral("/Applications/Xcode.app"),
                                                  m_root + QStringLiteral("/Applications/Xcode 26.app")};
        m_dependencies.tools.xcodeSelect = m_root + QStringLiteral("/xcode-select");
    }

    std::unique_ptr<AgentComponentManager> makeManager()
    {
        auto manager = std::make_unique<AgentComponentManager>(m_dependencies);
        EXPECT_TRUE(test::waitForCreationRefresh(*manager));
        return manager;
    }

    QString components() const { return AgentComponentManager::componentsDirectory(); }

    void installBlender(const QByteArray &receipt = {})
    {
        const QString folder = components() + QStringLiteral("/Blender/4.5.10");
        test::writeExecutable(folder + QStringLiteral("/Blender.app/Contents/MacOS/Blender"), "#!/bin/sh\n");
        if (!receipt.isEmpty())
            writeFileAtomically(folder + QStringLiteral("/receipt.json"), receipt);
    }

    void installXcodeGen()
    {
        test::writeExecutable(components() + QStringLiteral("/XcodeGen/2.45.4/xcodegen/bin/xcodegen"), "#!/bin/sh\n");
    }

    void fakePython(const QString &path, const QByteArray &answer)
    {
        test::writeExecutable(path, "#!/bin/sh\nprintf '" + answer + "'\n");
    }

    QString m_root;
    AgentComponentManager::Dependencies m_dependencies;
};

InstalledAgentComponent receipt(const QString &version)
{
    return {QStringLiteral("blender"), version, agentArchitecture(),
            QDateTime::currentDateTimeUtc(), QUrl(QStringLiteral("https://download.example/blender.dmg")),
            QStringLiteral("ab")};
}

} // namespace

TEST_F(ComponentStatus, NothingInstalledGivesEveryToolItsHintAndManagedComponentsShowReceiptOrManifestVersion)
{
    auto manager = makeManager();
    for (const State &state : {manager->state(), manager->xcodeGenState(), manager->qemuState(), manager->pythonState(),
                               manager->commandLineToolsState(), manager->xcodeState()})
        EXPECT_EQ(state, State(Kind::notInstalled));
    EXPECT_FALSE(manager->installedVersion());
    EXPECT_FALSE(manager->pythonProbeResult());
    EXPECT_TRUE(manager->needsSetup());
    EXPECT_THROW(runSync(manager->blenderExecutableURL()), ComponentError);
    EXPECT_THROW(runSync(manager->xcodeGenExecutableURL()), ComponentError);
    EXPECT_THROW(runSync(manager->validatedPythonURL()), ComponentError);

    // Changes are announced only when something changed.
    int changes = 0;
    QObject::connect(manager.get(), &AgentComponentManager::changed, [&changes]() { ++changes; });
    runSync(manager->refreshStatus());
    EXPECT_EQ(changes, 0);
    installBlender();
    installXcodeGen();
    runSync(manager->refreshStatus());
    EXPECT_GT(changes, 0);

    EXPECT_EQ(manager->state(), State(Kind::installed));
    EXPECT_EQ(manager->installedVersion(), QStringLiteral("4.5.10"));
    EXPECT_EQ(manager->xcodeGenState(), State(Kind::installed));
    // The system tools are missing, yet nothing managed needs setting up.
    EXPECT_EQ(manager->qemuState(), State(Kind::notInstalled));
    EXPECT_FALSE(manager->needsSetup());
    EXPECT_EQ(runSync(manager->blenderExecutableURL()),
              components() + QStringLiteral("/Blender/4.5.10/Blender.app/Contents/MacOS/Blender"));
    EXPECT_EQ(runSync(manager->xcodeGenExecutableURL()),
              components() + QStringLiteral("/XcodeGen/2.45.4/xcodegen/bin/xcodegen"));

    installBlender(receipt(QStringLiteral("4.5.11")).encodeReceipt());
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->installedVersion(), QStringLiteral("4.5.11"));
    EXPECT_EQ(manager->statusDetail(), QStringLiteral("Blender 4.5.11 · ") + enumName(agentArchitecture()));

    installBlender("{\"id\": \"blender\"}");
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->installedVersion(), QStringLiteral("4.5.10"));

    // A Blender that is there but not executable is not installed.
    QFile::setPermissions(components() + QStringLiteral("/Blender/4.5.10/Blender.app/Contents/MacOS/Blender"),
                          QFileDevice::ReadOwner);
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->state(), State(Kind::notInstalled));
    EXPECT_FALSE(manager->installedVersion());
    EXPECT_TRUE(manager->needsSetup());
}

TEST_F(ComponentStatus, QemuImgIsTheFirstExecutableCandidateAndTheAppleToolsAreFoundWhereTheyExist)
{
    auto manager = makeManager();
    EXPECT_FALSE(manager->qemuImgPath());

    test::writeExecutable(m_root + QStringLiteral("/local/qemu-img"), "#!/bin/sh\n");
    test::writeExecutable(m_root + QStringLiteral("/opt/qemu-img"), "#!/bin/sh\n");
    EXPECT_EQ(manager->qemuImgPath(), m_root + QStringLiteral("/opt/qemu-img"));
    // The lookup alone does not refresh the published state.
    EXPECT_EQ(manager->qemuState(), State(Kind::notInstalled));
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->qemuState(), State(Kind::installed));
    EXPECT_EQ(manager->qemuDetail(), m_root + QStringLiteral("/opt/qemu-img"));

    // A managed copy comes first, but only when it can be executed.
    const QString managed = components() + QStringLiteral("/QEMU/bin/qemu-img");
    test::writeExecutable(managed, "#!/bin/sh\n");
    EXPECT_EQ(manager->qemuImgPath(), managed);
    QFile::setPermissions(managed, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(manager->qemuImgPath(), m_root + QStringLiteral("/opt/qemu-img"));
    QFile::remove(managed);
    ASSERT_TRUE(QDir().mkpath(managed));  // a folder is no tool either
    EXPECT_EQ(manager->qemuImgPath(), m_root + QStringLiteral("/opt/qemu-img"));

    // The Command Line Tools and Xcode are found where they exist.
    const QString developer = scratch(QStringLiteral("Developer"));
    test::writeExecutable(m_dependencies.tools.xcodeSelect, "#!/bin/sh\necho '  " + developer.toUtf8() + "  '\n");
    ASSERT_TRUE(QDir().mkpath(m_root + QStringLiteral("/Applications/Xcode 26.app")));
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->commandLineToolsState(), State(Kind::installed));
    EXPECT_EQ(manager->commandLineToolsDetail(), developer);
    EXPECT_EQ(manager->xcodeState(), State(Kind::installed));
    EXPECT_EQ(manager->xcodeDetail(), m_root + QStringLiteral("/Applications/Xcode 26.app"));

    ASSERT_TRUE(QDir().mkpath(m_root + QStringLiteral("/Applications/Xcode.app")));
    QDir(developer).removeRecursively();
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->xcodeDetail(), m_root + QStringLiteral("/Applications/Xcode.app"));
    // A printed folder that is gone means the tools are not set up.
    EXPECT_EQ(manager->commandLineToolsState(), State(Kind::notInstalled));

    // A failing xcode-select counts as none, whatever it prints.
    ASSERT_TRUE(QDir().mkpath(developer));
    test::writeExecutable(m_dependencies.tools.xcodeSelect, "#!/bin/sh\necho '" + developer.toUtf8() + "'\nexit 2\n");
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->commandLineToolsState(), State(Kind::notInstalled));
}

TEST_F(ComponentStatus, StandardTableFindsTheSystemQemuImgAndWhatHomebrewInstalls)
{
    // Wherever brew is found, the tools it installs are looked for beside
    // it, after the fixed places.
    const ComponentToolTable table = ComponentToolTable::standard();
    for (const QString &brew : table.homebrew) {
        const QString bin = QFileInfo(brew).path() + QLatin1Char('/');
        EXPECT_GE(table.qemuImg.indexOf(bin + QStringLiteral("qemu-img")), 1) << brew.toStdString();
        EXPECT_GE(table.python3.indexOf(bin + QStringLiteral("python3")), 1) << brew.toStdString();
    }
    EXPECT_EQ(table.qemuImg.indexOf(QStringLiteral("/usr/local/bin/qemu-img")), 2);
    EXPECT_EQ(table.python3.indexOf(QStringLiteral("/usr/bin/python3")), 3);
    EXPECT_TRUE(table.homebrew.contains(QDir::homePath() + QStringLiteral("/.linuxbrew/bin/brew")));

    for (const char *earlier : {"/opt/homebrew/bin/qemu-img", "/usr/local/bin/qemu-img"}) {
        if (QFile::exists(QString::fromLatin1(earlier)))
            GTEST_SKIP() << earlier << " would be found first";
    }
    AgentComponentManager::Dependencies standard;
    AgentComponentManager manager(standard);
    EXPECT_EQ(manager.qemuImgPath(), QStringLiteral("/usr/bin/qemu-img"));
    EXPECT_EQ(manager.python3Path(), QStringLiteral("/usr/bin/python3"));
    EXPECT_TRUE(test::waitForCreationRefresh(manager));
}

TEST_F(ComponentStatus, HomebrewsLinuxPrefixesComeBeforeDebiansQemuImgButAfterTheSystemPython)
{
    // What Homebrew installed is the qemu-img its installer stands for, so
    // its prefixes all come before the distribution's copy; /usr/bin/python3
    // is one of the fixed places, and the Linux places follow those.
    const QString home = QDir::homePath();
    const auto inOrder = [](const QStringList &paths) { return paths.join(u'\n').toStdString(); };
    const ComponentToolTable table = ComponentToolTable::standard();
    EXPECT_EQ(inOrder(table.qemuImg),
              inOrder({QStringLiteral("QEMU/bin/qemu-img"), QStringLiteral("/opt/homebrew/bin/qemu-img"),
                       QStringLiteral("/usr/local/bin/qemu-img"), QStringLiteral("/home/linuxbrew/.linuxbrew/bin/qemu-img"),
                       home + QStringLiteral("/.linuxbrew/bin/qemu-img"), QStringLiteral("/usr/bin/qemu-img")}));
    EXPECT_EQ(inOrder(table.python3),
              inOrder({QStringLiteral("Python/bin/python3"), QStringLiteral("/opt/homebrew/bin/python3"),
                       QStringLiteral("/usr/local/bin/python3"), QStringLiteral("/usr/bin/python3"),
                       QStringLiteral("/home/linuxbrew/.linuxbrew/bin/python3"),
                       home + QStringLiteral("/.linuxbrew/bin/python3")}));
}

TEST_F(ComponentStatus, OnlyAMissingComponentThatThisHostCanInstallCountsAsInstallable)
{
    m_dependencies.tools.hdiutil = m_root + QStringLiteral("/bin/hdiutil");
    m_dependencies.tools.ditto = m_root + QStringLiteral("/bin/ditto");
    m_dependencies.tools.codesign = m_root + QStringLiteral("/bin/codesign");
    auto manager = makeManager();
    // Without the disk-image tools Blender cannot be installed; XcodeGen is a
    // macOS program and never can be here.
    EXPECT_TRUE(manager->needsSetup());
    EXPECT_FALSE(manager->canInstallMissingComponents());

    for (const QString &tool : {m_dependencies.tools.hdiutil, m_dependencies.tools.ditto, m_dependencies.tools.codesign})
        test::writeExecutable(tool, "#!/bin/sh\n");
    EXPECT_TRUE(manager->canInstallMissingComponents());

    // An installed Blender is nothing left to install, whatever tools there are.
    installBlender();
    EXPECT_TRUE(manager->needsSetup());
    EXPECT_FALSE(manager->canInstallMissingComponents());
}

TEST_F(ComponentStatus, PythonMustBeRecentAndComplete)
{
    const QString python = m_root + QStringLiteral("/usr/python3");
    fakePython(python, "3.10.12\\n1\\n1\\n1\\n");
    auto manager = makeManager();
    const State incomplete = State::failed(QStringLiteral("Python-Installation ist unvollständig oder zu alt."));
    EXPECT_EQ(manager->pythonState(), incomplete);
    EXPECT_EQ(manager->pythonDetail(), QStringLiteral("Fehlt: Python 3.11+ · ") + python);
    ASSERT_TRUE(manager->pythonProbeResult());
    EXPECT_EQ(manager->pythonProbeResult()->minor, 10);
    EXPECT_THROW(runSync(manager->validatedPythonURL()), ComponentError);

    fakePython(python, "3.12.4\\n1\\n0\\n0\\n");
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->pythonState(), incomplete);
    EXPECT_EQ(manager->pythonDetail(), QStringLiteral("Fehlt: pip, ensurepip · ") + python);
    EXPECT_THROW(runSync(manager->validatedPythonURL()), ComponentError);

    fakePython(python, "3.9.1\\n0\\n1\\n1\\n");
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->pythonDetail(), QStringLiteral("Fehlt: Python 3.11+, venv · ") + python);

    fakePython(python, "4.0.0\\n1\\n1\\n1\\n");
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->pythonState(), State(Kind::installed));
    EXPECT_EQ(manager->pythonDetail(), QStringLiteral("Python 4.0.0 · venv · pip · ensurepip · ") + python);
    EXPECT_EQ(runSync(manager->validatedPythonURL()), python);

    // An interpreter that answers nonsense counts as none.
    fakePython(python, "garbage\\n");
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->pythonState(), State(Kind::notInstalled));
    EXPECT_FALSE(manager->pythonProbeResult());
}

TEST_F(ComponentStatus, AnOlderRefreshNeverOverwritesANewerOne)
{
    // While "hold" exists the probe waits for "go".
    const QString gate = scratch(QStringLiteral("gate"));
    const QByteArray g = gate.toUtf8();
    test::writeExecutable(m_root + QStringLiteral("/usr/python3"),
                          "#!/bin/sh\n"
                          "if [ -e '" + g + "/hold' ]; then\n"
                          "  touch '" + g + "/held'\n"
                          "  i=0; while [ ! -e '" + g + "/go' ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done\n"
                          "fi\n"
                          "printf '3.12.1\\n1\\n1\\n1\\n'\n");
    auto touch = [&](const QString &name) {
        QFile file(gate + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    };
    AgentComponentManager manager(m_dependencies);
    ASSERT_TRUE(test::waitForCreationRefresh(manager));

    touch(QStringLiteral("hold"));
    QCoro::Task<void> older = manager.refreshStatus();  // sees no Blender, then waits
    ASSERT_TRUE(test::waitUntil([&]() { return QFile::exists(gate + QStringLiteral("/held")); }, 10s));
    QFile::remove(gate + QStringLiteral("/hold"));

    installBlender();
    runSync(manager.refreshStatus());
    EXPECT_EQ(manager.state(), State(Kind::installed));

    touch(QStringLiteral("go"));
    runSync(std::move(older));
    EXPECT_EQ(manager.state(), State(Kind::installed));
    EXPECT_EQ(manager.installedVersion(), QStringLiteral("4.5.10"));
    EXPECT_EQ(manager.pythonState(), State(Kind::installed));
}

TEST(ComponentProcess, FailureCarriesTrimmedOutputOrTheToolName)
{
    const QString sh = QStringLiteral("/bin/sh");
    EXPECT_EQ(runSync(AgentComponentManager::runComponentProcess(sh, {QStringLiteral("-c"), QStringLiteral("echo out; echo err >&2")})),
              "out\nerr\n");

    auto failure = [&](const QString &script) {
        return test::errorOf([&] { runSync(AgentComponentManager::runComponentProcess(sh, {QStringLiteral("-c"), script})); });
    };
    EXPECT_EQ(failure(QStringLiteral("printf '\\n  Fehler: kaputt \\n\\t'; exit 1")),
              QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: Fehler: kaputt"));
    EXPECT_EQ(failure(QStringLiteral("echo '   ' >&2; exit 1")),
              QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: sh"));
    EXPECT_EQ(failure(QStringLiteral("printf '\\377\\376 bad'; exit 4")),
              QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: sh"));
    EXPECT_EQ(failure(QStringLiteral("kill -9 $$")), QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: sh"));

    EXPECT_THROW(runSync(AgentComponentManager::runComponentProcess(QStringLiteral("/nonexistent/hdiutil"), {})), FileError);
    EXPECT_THROW(runSync(AgentComponentManager::runComponentProcess(sh, {QStringLiteral("-c"), QStringLiteral("sleep 30")},
                                                                    std::chrono::milliseconds(200))),
                 TimeoutError);

    EXPECT_EQ(runSync(AgentComponentManager::componentProcessOutput(sh, {QStringLiteral("-c"), QStringLiteral("echo ' /x '")})),
              QStringLiteral("/x"));
    EXPECT_FALSE(runSync(AgentComponentManager::componentProcessOutput(sh, {QStringLiteral("-c"), QStringLiteral("echo")})));
    EXPECT_FALSE(runSync(AgentComponentManager::componentProcessOutput(sh, {QStringLiteral("-c"), QStringLiteral("echo /x; exit 1")})));
    EXPECT_FALSE(runSync(AgentComponentManager::componentProcessOutput(QStringLiteral("/nonexistent/xcode-select"), {})));
}
