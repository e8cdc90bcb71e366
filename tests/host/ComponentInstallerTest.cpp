#include "host/AgentComponentManager.h"
#include "host/ComponentError.h"
#include "host/ComponentFiles.h"

#include "core/Files.h"
#include "model/Hex.h"
#include "support/ComponentFixtures.h"
#include "support/HttpTestServer.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>

using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;
using Kind = AgentComponentManager::State::Kind;
using State = AgentComponentManager::State;
using Tool = AgentComponentManager::Tool;

namespace {

const QString kBlenderPath = QStringLiteral("/release/blender-4.5.10-macos.dmg");
const QString kXcodeGenPath = QStringLiteral("/download/2.45.4/xcodegen.zip");

// The installers against a local HTTPS server, with hdiutil, ditto and
// codesign played by scripts that log what they are asked to do.
class ComponentInstall : public DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        m_root = scratch(QStringLiteral("host"));
        m_temporary = scratch(QStringLiteral("tmp"));
        m_volume = scratch(QStringLiteral("volume"));
        m_server = std::make_unique<HttpTestServer>(HttpTestServer::Scheme::https);

        auto &tools = m_dependencies.tools;
        tools.qemuImg = {m_root + QStringLiteral("/bin/qemu-img")};
        tools.python3 = {m_root + QStringLiteral("/bin/python3")};
        tools.homebrew = {m_root + QStringLiteral("/bin/brew")};
        tools.xcodeApplications = {};
        tools.xcodeSelect = m_root + QStringLiteral("/bin/xcode-select");
        tools.hdiutil = m_root + QStringLiteral("/bin/hdiutil");
        tools.ditto = m_root + QStringLiteral("/bin/ditto");
        tools.codesign = m_root + QStringLiteral("/bin/codesign");
        tools.unzip = QStringLiteral("/usr/bin/unzip");
        m_dependencies.tlsConfiguration = HttpTestServer::clientConfiguration();
        m_dependencies.downloadIdleTimeout = 1s;
        m_dependencies.temporaryDirectory = m_temporary;
        m_dependencies.manifest = AgentComponentManifest::builtIn();
        setArtifact(QStringLiteral("blender"), kBlenderPath, {});
        setArtifact(QStringLiteral("xcodegen"), kXcodeGenPath, {});

        writeDiskTools();
        writeExecutable(m_volume + QStringLiteral("/Blender.app/Contents/MacOS/Blender"), "#!/bin/sh\n");
    }

    void setArtifact(const QString &id, const QString &path, const QString &sha256)
    {
        for (AgentComponent &component : m_dependencies.manifest.components) {
            if (component.id != id)
                continue;
            AgentComponentArtifact &artifact = component.artifacts[agentArchitecture()];
            artifact.downloadURL = m_server->url(path);
            artifact.sha256 = sha256;
            artifact.downloadSize = 1234567;
        }
    }

    // Serves `bytes` for the component and puts their checksum in the manifest
    // of managers made afterwards.
    void serve(const QString &id, const QByteArray &bytes, bool upperCaseChecksum = false)
    {
        const QString path = id == QStringLiteral("blender") ? kBlenderPath : kXcodeGenPath;
        m_server->route(path.toUtf8(), HttpResponse::ok(bytes));
        const QString sum = sha256Hex(bytes);
        setArtifact(id, path, upperCaseChecksum ? sum.toUpper() : sum);
    }

    void serveXcodeGen(const QList<ZipEntry> &entries)
    {
        const QString zip = scratch(QStringLiteral("zips")) + QStringLiteral("/xcodegen.zip");
        writeZip(zip, entries);
        serve(QStringLiteral("xcodegen"), readWholeFile(zip));
    }

    QByteArray xcodeGenScript(int exitCode = 0)
    {
        return "#!/bin/sh\necho \"$@\" >> '" + log(QStringLiteral("xcodegen")).toUtf8() + "'\necho 'Version: 2.45.4'\nexit "
            + QByteArray::number(exitCode) + "\n";
    }

    void writeDiskTools(int codesignExit = 0, const QByteArray &attachOutput = {})
    {
        const QByteArray hdiutilLog = log(QStringLiteral("hdiutil")).toUtf8();
        QByteArray plist = attachOutput.isEmpty()
            ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\"><dict><key>system-entities</key><array>\n"
              "<dict><key>content-hint</key><string>GUID_partition_scheme</string></dict>\n"
              "<dict><key>mount-point</key><string>" + m_volume.toUtf8() + "</string></dict>\n"
              "</array></dict></plist>\n"
            : attachOutput;
        if (!plist.endsWith('\n'))
            plist += '\n';
        writeExecutable(m_dependencies.tools.hdiutil,
                        "#!/bin/sh\necho \"$*\" >> '" + hdiutilLog + "'\n"
                        "if [ \"$1\" = attach ]; then cat <<'EOF'\n" + plist + "EOF\nfi\n");
        writeExecutable(m_dependencies.tools.ditto, "#!/bin/sh\ncp -R \"$1\" \"$2\"\n");
        writeExecutable(m_dependencies.tools.codesign,
                        "#!/bin/sh\necho \"$*\" >> '" + log(QStringLiteral("codesign")).toUtf8() + "'\n"
                        + (codesignExit == 0 ? QByteArray() : "echo 'Blender.app: a sealed resource is missing or invalid'\n")
                        + "exit " + QByteArray::number(codesignExit) + "\n");
    }

    QString log(const QString &tool) const { return m_root + QLatin1Char('/') + tool + QStringLiteral(".log"); }
    QStringList logLines(const QString &tool) const { return fileLines(log(tool)); }

    std::unique_ptr<AgentComponentManager> makeManager()
    {
        auto manager = std::make_unique<AgentComponentManager>(m_dependencies);
        EXPECT_TRUE(test::waitForCreationRefresh(*manager));
        QObject::connect(manager.get(), &AgentComponentManager::changed, [this, m = manager.get()]() {
            for (const Tool tool : {Tool::blender, Tool::xcodeGen, Tool::qemu, Tool::python}) {
                auto &seen = m_seen[tool];
                const auto now = std::make_pair(m->state(tool), m->detail(tool));
                if (seen.isEmpty() || seen.last() != now)
                    seen.append(now);
            }
        });
        return manager;
    }

    QString components() const { return AgentComponentManager::componentsDirectory(); }
    QString blenderFolder() const { return components() + QStringLiteral("/Blender/4.5.10"); }
    QString xcodeGenFolder() const { return components() + QStringLiteral("/XcodeGen/2.45.4"); }

    void installOldBlender()
    {
        writeExecutable(blenderFolder() + QStringLiteral("/Blender.app/Contents/MacOS/Blender"), "#!/bin/sh\n");
        writeFileAtomically(blenderFolder() + QStringLiteral("/old.txt"), "old");
    }

    // Neither a work folder nor a staging folder outlives an attempt.
    void expectNoLeftovers()
    {
        EXPECT_TRUE(listDirectory(m_temporary).isEmpty()) << listDirectory(m_temporary).join(u' ').toStdString();
        if (isDirectory(components() + QStringLiteral("/Blender"))) {
            const QStringList names = listDirectory(components() + QStringLiteral("/Blender"));
            EXPECT_TRUE(names.isEmpty() || names == QStringList{QStringLiteral("4.5.10")}) << names.join(u' ').toStdString();
        }
        if (isDirectory(components())) {
            for (const QString &name : listDirectory(components()))
                EXPECT_FALSE(name.startsWith(QLatin1Char('.'))) << name.toStdString();
        }
    }

    void expectFailed(const AgentComponentManager &manager, Tool tool, const QString &message)
    {
        EXPECT_EQ(manager.state(tool), State::failed(message));
        EXPECT_EQ(manager.detail(tool), message);
    }

    QString m_root;
    QString m_temporary;
    QString m_volume;
    std::unique_ptr<HttpTestServer> m_server;
    AgentComponentManager::Dependencies m_dependencies;
    QMap<Tool, QList<std::pair<State, QString>>> m_seen;
};

} // namespace

TEST_F(ComponentInstall, BlenderGoesThroughDownloadVerifyAndTheDiskImage)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QByteArray image = randomBytes(3 * 1024 * 1024 + 5);
    // An upper-case checksum in the manifest still matches.
    serve(QStringLiteral("blender"), image, true);
    auto manager = makeManager();
    EXPECT_EQ(manager->state(), State(Kind::notInstalled));

    QDateTime before = QDateTime::currentDateTimeUtc();
    before.setTime(QTime(before.time().hour(), before.time().minute(), before.time().second()));
    runSync(manager->installBlender());
    QLocale::setDefault(QLocale::c());

    EXPECT_EQ(manager->state(), State(Kind::installed));
    EXPECT_EQ(manager->statusDetail(), QStringLiteral("Blender 4.5.10 · ") + enumName(agentArchitecture()));
    const QList<std::pair<State, QString>> expected{
        {Kind::downloading, QStringLiteral("Blender 4.5.10 wird von download.blender.org geladen (1,2 MB)")},
        {Kind::verifying, QStringLiteral("SHA-256-Prüfsumme wird verifiziert")},
        {Kind::installing, QStringLiteral("Blender wird in den TRELLIUM-Komponentenordner installiert")},
        {Kind::installed, manager->statusDetail()}};
    EXPECT_EQ(m_seen[Tool::blender], expected);

    // The copy came from the mounted volume, with receipt and notice beside it.
    EXPECT_TRUE(QFile::exists(blenderFolder() + QStringLiteral("/Blender.app/Contents/MacOS/Blender")));
    const InstalledAgentComponent receipt =
        InstalledAgentComponent::decodeReceipt(readWholeFile(blenderFolder() + QStringLiteral("/receipt.json")));
    EXPECT_EQ(receipt.sha256, manager->componentWithID(QStringLiteral("blender"))->artifact(agentArchitecture())->sha256);
    EXPECT_GE(receipt.installedAt, before);
    EXPECT_TRUE(QFile::exists(blenderFolder() + QStringLiteral("/THIRD_PARTY_NOTICES.txt")));

    // hdiutil mounted the downloaded file read-only and detached it again;
    // codesign checked the copy in the staging folder.
    const QStringList hdiutil = logLines(QStringLiteral("hdiutil"));
    ASSERT_EQ(hdiutil.size(), 2);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^attach -nobrowse -readonly -plist ") + QRegularExpression::escape(m_temporary)
                                   + QStringLiteral("/trellium-component-[0-9A-F-]{36}/blender-4.5.10-macos.dmg$"))
                    .match(hdiutil[0])
                    .hasMatch())
        << hdiutil[0].toStdString();
    EXPECT_EQ(hdiutil[1], QStringLiteral("detach ") + m_volume);
    const QStringList codesign = logLines(QStringLiteral("codesign"));
    ASSERT_EQ(codesign.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^--verify --deep --strict ") + QRegularExpression::escape(components())
                                   + QStringLiteral("/Blender/\\.4\\.5\\.10-staging-[0-9A-F-]{36}/Blender\\.app$"))
                    .match(codesign[0])
                    .hasMatch())
        << codesign[0].toStdString();
    EXPECT_EQ(m_server->count("GET", kBlenderPath.toUtf8()), 1);
    expectNoLeftovers();
}

TEST_F(ComponentInstall, StalledTricklingAndEndlessServersFailWithinTheirBoundsAndCanBeRetried)
{
    const QByteArray image = randomBytes(256 * 1024);
    serve(QStringLiteral("blender"), image);
    HttpResponse stalling = HttpResponse::ok(image);
    stalling.stallAfter = 16 * 1024;
    m_server->route(kBlenderPath.toUtf8(), stalling);
    m_dependencies.downloadTimeout = 3s;
    auto manager = makeManager();

    QElapsedTimer clock;
    clock.start();
    runSync(manager->installBlender());
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_EQ(manager->state().kind(), Kind::failed);
    EXPECT_TRUE(manager->state().message().contains(QStringLiteral("keine Daten"))) << manager->state().message().toStdString();
    expectNoLeftovers();

    // A server that never goes silent but sends next to nothing (a minute
    // for this image) is bounded by the whole transfer's time. The idle
    // bound is out of the way here: a busy machine may well pause a second.
    m_dependencies.downloadIdleTimeout = 60s;
    auto patient = makeManager();
    HttpResponse trickling = HttpResponse::ok(image);
    trickling.bytesPerSecond = 4 * 1024;
    m_server->route(kBlenderPath.toUtf8(), trickling);
    clock.restart();
    runSync(patient->installBlender(), 30s);
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_EQ(patient->state().kind(), Kind::failed);
    EXPECT_TRUE(patient->state().message().startsWith(QStringLiteral("Zeitüberschreitung")))
        << patient->state().message().toStdString();
    expectNoLeftovers();

    // A body without end (chunked, no length) stops at twice the announced
    // size instead of filling the disk before the checksum could refuse it.
    QFile endless(scratch(QStringLiteral("endless")) + QStringLiteral("/body"));
    ASSERT_TRUE(endless.open(QIODevice::WriteOnly) && endless.resize(qint64(256) * 1024 * 1024));
    endless.close();
    HttpResponse flooding = HttpResponse::file(endless.fileName(), false);
    flooding.chunked = true;
    m_server->route(kBlenderPath.toUtf8(), flooding);
    runSync(patient->installBlender(), 30s);
    EXPECT_EQ(patient->state().kind(), Kind::failed);
    EXPECT_TRUE(patient->state().message().contains(QStringLiteral("größer als erlaubt")))
        << patient->state().message().toStdString();
    expectNoLeftovers();

    m_server->route(kBlenderPath.toUtf8(), HttpResponse::ok(image));
    runSync(manager->installBlender());
    EXPECT_EQ(manager->state(), State(Kind::installed));
    expectNoLeftovers();
}

TEST_F(ComponentInstall, FailedBlenderInstallsKeepTheOldOneLeaveNoFoldersAndDetachTheDiskImage)
{
    const QByteArray image = randomBytes(4096);
    serve(QStringLiteral("blender"), image);
    installOldBlender();
    auto manager = makeManager();
    ASSERT_EQ(manager->state(), State(Kind::installed));

    m_server->route(kBlenderPath.toUtf8(), HttpResponse::withStatus(404));
    runSync(manager->installBlender());
    expectFailed(*manager, Tool::blender, describeError(ComponentError::invalidServerResponse()));
    EXPECT_EQ(manager->state().message(), QStringLiteral("Der Blender-Downloadserver hat keine gültige Antwort geliefert."));
    expectNoLeftovers();

    m_server->route(kBlenderPath.toUtf8(), HttpResponse::ok("other bytes"));
    runSync(manager->installBlender());
    expectFailed(*manager, Tool::blender, describeError(ComponentError::checksumMismatch()));
    expectNoLeftovers();
    // Nothing was mounted for either.
    EXPECT_TRUE(logLines(QStringLiteral("hdiutil")).isEmpty());

    // Whatever fails after mounting, the image is detached.
    m_server->route(kBlenderPath.toUtf8(), HttpResponse::ok(image));
    writeDiskTools(1);
    runSync(manager->installBlender());
    expectFailed(*manager, Tool::blender,
                 QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: Blender.app: a sealed resource is missing or invalid"));
    EXPECT_EQ(logLines(QStringLiteral("hdiutil")).value(1), QStringLiteral("detach ") + m_volume);
    EXPECT_EQ(readWholeFile(blenderFolder() + QStringLiteral("/old.txt")), "old");
    expectNoLeftovers();

    QFile::remove(log(QStringLiteral("hdiutil")));
    writeDiskTools();
    removeItem(m_volume + QStringLiteral("/Blender.app"));
    runSync(manager->installBlender());
    expectFailed(*manager, Tool::blender, QStringLiteral("Im Blender-Installationsabbild wurde keine Blender.app gefunden."));
    EXPECT_EQ(logLines(QStringLiteral("hdiutil")).value(1), QStringLiteral("detach ") + m_volume);
    expectNoLeftovers();

    // hdiutil answers without a mount point: nothing to detach.
    QFile::remove(log(QStringLiteral("hdiutil")));
    writeDiskTools(0, "<plist version=\"1.0\"><dict><key>system-entities</key><array/></dict></plist>");
    runSync(manager->installBlender());
    expectFailed(*manager, Tool::blender, QStringLiteral("Das Blender-Installationsabbild konnte nicht geöffnet werden."));
    EXPECT_EQ(logLines(QStringLiteral("hdiutil")).size(), 1);
    EXPECT_EQ(readWholeFile(blenderFolder() + QStringLiteral("/old.txt")), "old");
    expectNoLeftovers();

    // A manager that does not trust the server's certificate gets nothing
    // from it (each manager has a network access of its own).
    m_dependencies.tlsConfiguration.reset();
    manager = makeManager();
    runSync(manager->installBlender());
    EXPECT_EQ(manager->state().kind(), Kind::failed);
    EXPECT_TRUE(manager->statusDetail().startsWith(QStringLiteral("Der Download von https://127.0.0.1:")))
        << manager->statusDetail().toStdString();
    EXPECT_EQ(logLines(QStringLiteral("hdiutil")).size(), 1);
    expectNoLeftovers();

    // Without hdiutil the same, before anything is downloaded.
    const int downloads = m_server->count("GET", kBlenderPath.toUtf8());
    m_dependencies.tlsConfiguration = HttpTestServer::clientConfiguration();
    m_dependencies.tools.hdiutil = QStringLiteral("/nonexistent/hdiutil");
    manager = makeManager();
    runSync(manager->installBlender());
    expectFailed(*manager, Tool::blender, QStringLiteral("Das Blender-Installationsabbild konnte nicht geöffnet werden."));
    EXPECT_EQ(m_server->count("GET", kBlenderPath.toUtf8()), downloads);
    expectNoLeftovers();
}

TEST_F(ComponentInstall, XcodeGenArchivesWithoutAProperToolAreRefusedAndAGoodOneReplacesTheOldCopy)
{
    writeExecutable(xcodeGenFolder() + QStringLiteral("/xcodegen/bin/xcodegen"), "#!/bin/sh\n");
    writeFileAtomically(xcodeGenFolder() + QStringLiteral("/old.txt"), "old");
    std::unique_ptr<AgentComponentManager> manager;
    auto attempt = [&](const QList<ZipEntry> &entries) {
        serveXcodeGen(entries);
        manager = makeManager();
        runSync(manager->installXcodeGen());
        expectNoLeftovers();
    };

    attempt({{ZipEntry::Kind::file, QStringLiteral("xcodegen/README.md"), "hello"}});
    expectFailed(*manager, Tool::xcodeGen, QStringLiteral("Im Komponentenarchiv fehlt die erwartete Datei „xcodegen/bin/xcodegen“."));

    // A link in the archive's place of the tool would make some other file
    // executable and run it.
    const QString victim = m_root + QStringLiteral("/victim.sh");
    writeFileAtomically(victim, "#!/bin/sh\ntouch '" + m_root.toUtf8() + "/ran'\n");
    attempt({{ZipEntry::Kind::link, QStringLiteral("xcodegen/bin/xcodegen"), victim.toUtf8()}});
    EXPECT_EQ(manager->xcodeGenState().kind(), Kind::failed);
    EXPECT_TRUE(manager->xcodeGenDetail().contains(QStringLiteral("symbolischen Link „xcodegen/bin/xcodegen“")))
        << manager->xcodeGenDetail().toStdString();
    EXPECT_FALSE(QFileInfo(victim).isExecutable());
    EXPECT_FALSE(QFile::exists(m_root + QStringLiteral("/ran")));

    // A link elsewhere in the archive is refused as well.
    attempt({{ZipEntry::Kind::file, QStringLiteral("xcodegen/bin/xcodegen"), xcodeGenScript()},
             {ZipEntry::Kind::link, QStringLiteral("xcodegen/lib"), "/etc"}});
    EXPECT_EQ(manager->xcodeGenState().kind(), Kind::failed);
    EXPECT_TRUE(logLines(QStringLiteral("xcodegen")).isEmpty());

    // Entries that climb out of the folder stop the unpacking.
    attempt({{ZipEntry::Kind::file, QStringLiteral("xcodegen/bin/xcodegen"), xcodeGenScript()},
             {ZipEntry::Kind::file, QStringLiteral("../../escaped.txt"), "x"}});
    EXPECT_EQ(manager->xcodeGenState().kind(), Kind::failed);
    EXPECT_EQ(manager->xcodeGenDetail(), QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: Das Archiv "
                                                        "enthält den unzulässigen Eintrag „../../escaped.txt“."));
    EXPECT_FALSE(QFile::exists(applicationSupportRoot() + QStringLiteral("/escaped.txt")));
    EXPECT_FALSE(QFile::exists(components() + QStringLiteral("/escaped.txt")));

    // A tool that does not run is not installed.
    attempt({{ZipEntry::Kind::executable, QStringLiteral("xcodegen/bin/xcodegen"),
              "#!/bin/sh\necho 'dyld: Library not loaded'\nexit 1\n"}});
    expectFailed(*manager, Tool::xcodeGen, QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: dyld: Library not loaded"));

    // The published archive holds a macOS program (a universal binary): it is
    // refused before it is run, like a program for another processor (s390).
    const QString foreign = QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: „xcodegen/bin/xcodegen“ ist ");
    attempt({{ZipEntry::Kind::executable, QStringLiteral("xcodegen/bin/xcodegen"), QByteArray::fromHex("cafebabe00000002")}});
    expectFailed(*manager, Tool::xcodeGen, foreign + QStringLiteral("ein macOS-Programm und läuft nicht auf diesem Rechner."));
    attempt({{ZipEntry::Kind::executable, QStringLiteral("xcodegen/bin/xcodegen"),
              QByteArray::fromHex("7f454c460201010000000000000000000200160001000000")}});
    expectFailed(*manager, Tool::xcodeGen,
                 foreign + QStringLiteral("für eine andere Prozessorarchitektur gebaut und läuft nicht auf diesem Rechner."));

    // The checksum text names Blender whichever component it is about.
    serveXcodeGen({{ZipEntry::Kind::file, QStringLiteral("xcodegen/bin/xcodegen"), xcodeGenScript()}});
    manager = makeManager();
    m_server->route(kXcodeGenPath.toUtf8(), HttpResponse::ok("tampered"));
    runSync(manager->installXcodeGen());
    expectFailed(*manager, Tool::xcodeGen,
                 QStringLiteral("Die Prüfsumme des Blender-Downloads stimmt nicht. Die Datei wurde nicht installiert."));
    expectNoLeftovers();

    // Nothing of a refused archive is kept: the old copy is as it was.
    EXPECT_EQ(readWholeFile(xcodeGenFolder() + QStringLiteral("/xcodegen/bin/xcodegen")), "#!/bin/sh\n");
    EXPECT_EQ(readWholeFile(xcodeGenFolder() + QStringLiteral("/old.txt")), "old");

    m_seen.clear();
    attempt({{ZipEntry::Kind::file, QStringLiteral("xcodegen/bin/xcodegen"), xcodeGenScript()},
             {ZipEntry::Kind::file, QStringLiteral("xcodegen/share/xcodegen/SettingPresets/base.yml"), "a: 1\n"}});
    EXPECT_EQ(manager->xcodeGenState(), State(Kind::installed));
    const QList<std::pair<State, QString>> expected{
        {Kind::downloading, QStringLiteral("XcodeGen 2.45.4 wird von GitHub geladen")},
        {Kind::verifying, QStringLiteral("SHA-256-Prüfsumme wird verifiziert")},
        {Kind::installing, QStringLiteral("XcodeGen wird installiert")},
        {Kind::installed, QStringLiteral("XcodeGen 2.45.4 · Universal Binary")}};
    EXPECT_EQ(m_seen[Tool::xcodeGen], expected);
    const QString tool = xcodeGenFolder() + QStringLiteral("/xcodegen/bin/xcodegen");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(tool).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(logLines(QStringLiteral("xcodegen")), QStringList{QStringLiteral("--version")});
    EXPECT_TRUE(QFile::exists(xcodeGenFolder() + QStringLiteral("/xcodegen/share/xcodegen/SettingPresets/base.yml")));
    EXPECT_FALSE(QFile::exists(xcodeGenFolder() + QStringLiteral("/old.txt")));
    EXPECT_FALSE(QFile::exists(xcodeGenFolder() + QStringLiteral("/receipt.json")));
    EXPECT_EQ(listDirectory(components() + QStringLiteral("/XcodeGen")), QStringList{QStringLiteral("2.45.4")});

    // A program built for this machine passes the check as a script does.
    attempt({{ZipEntry::Kind::file, QStringLiteral("xcodegen/bin/xcodegen"), readWholeFile(QStringLiteral("/bin/true"))}});
    EXPECT_EQ(manager->xcodeGenState(), State(Kind::installed));
}

TEST_F(ComponentInstall, AFileThatIsNoProgramOfThisMachineIsNeverRunAndLeavesNoXcodeGenFolder)
{
    // Each would leave a mark if something ran it, through a shell or a
    // handler for foreign programs.
    const QByteArray marker = m_root.toUtf8() + "/ran";
    const QByteArray script = "touch '" + marker + "'\n";
    // This machine's own program, turned into an object file.
    QByteArray object = readWholeFile(QStringLiteral("/bin/true")).left(64);
    object[16] = object[5] == 1 ? char(1) : char(0);  // e_type ET_REL in the file's byte order
    object[17] = object[5] == 1 ? char(0) : char(1);
    const QString notAProgram = QStringLiteral("ist kein Programm, das auf diesem Rechner läuft.");
    const QList<std::pair<QByteArray, QString>> refused{
        {"MZ\x90\n" + script, notAProgram},  // a Windows program
        {script, notAProgram},               // a script without "#!"
        {{}, notAProgram},
        {object, notAProgram},
        {QByteArray::fromHex("cffaedfe0c000001") + '\n' + script,
         QStringLiteral("ist ein macOS-Programm und läuft nicht auf diesem Rechner.")}};
    for (const auto &[content, why] : refused) {
        SCOPED_TRACE(content.left(8).toHex().toStdString());
        serveXcodeGen({{ZipEntry::Kind::executable, QStringLiteral("xcodegen/bin/xcodegen"), content}});
        auto manager = makeManager();
        runSync(manager->installXcodeGen());
        expectFailed(*manager, Tool::xcodeGen,
                     QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: „xcodegen/bin/xcodegen“ ") + why);
        EXPECT_FALSE(QFile::exists(QString::fromUtf8(marker)));
        // Without an earlier copy nothing at all is left: no XcodeGen
        // folder, no version folder, no partial.
        EXPECT_FALSE(itemExists(components() + QStringLiteral("/XcodeGen")));
        EXPECT_TRUE(!isDirectory(components()) || listDirectory(components()).isEmpty())
            << listDirectory(components()).join(u' ').toStdString();
        expectNoLeftovers();
        runSync(manager->refreshStatus());
        EXPECT_EQ(manager->xcodeGenState(), State(Kind::notInstalled));
    }
}


TEST_F(ComponentInstall, MissingComponentsAreInstalledAndFailuresStayVisible)
{
    installOldBlender();
    writeExecutable(xcodeGenFolder() + QStringLiteral("/xcodegen/bin/xcodegen"), "#!/bin/sh\n");
    auto manager = makeManager();
    runSync(manager->installMissingComponents());
    EXPECT_TRUE(m_server->requests().isEmpty());
    EXPECT_EQ(manager->state(), State(Kind::installed));
    EXPECT_EQ(manager->xcodeGenState(), State(Kind::installed));

    removeItem(components());
    serveXcodeGen({{ZipEntry::Kind::file, QStringLiteral("xcodegen/bin/xcodegen"), xcodeGenScript()}});
    m_server->route(kBlenderPath.toUtf8(), HttpResponse::withStatus(404));
    manager = makeManager();
    runSync(manager->installMissingComponents());
    EXPECT_EQ(manager->xcodeGenState(), State(Kind::installed));
    // Blender is still missing: the user keeps seeing why.
    expectFailed(*manager, Tool::blender, describeError(ComponentError::invalidServerResponse()));
    // A plain refresh afterwards tells the plain truth again.
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->state(), State(Kind::notInstalled));
    EXPECT_EQ(manager->statusDetail(), QStringLiteral("Für 3D-Konvertierungen erforderlich"));
    expectNoLeftovers();
}

TEST_F(ComponentInstall, HomebrewInstallsQemuAndPython)
{
    auto manager = makeManager();
    runSync(manager->installQEMUWithHomebrew());
    EXPECT_EQ(manager->qemuState(), State::failed(QStringLiteral("Homebrew wurde nicht gefunden.")));
    EXPECT_EQ(manager->qemuDetail(), QStringLiteral("Installiere zunächst Homebrew über https://brew.sh."));
    runSync(manager->repairPythonWithHomebrew());
    EXPECT_EQ(manager->pythonDetail(), QStringLiteral("Python kann ohne Homebrew nicht automatisch repariert werden."));

    // This Homebrew "installs" qemu-img where the lookup finds it, once released.
    const QString gate = m_root + QStringLiteral("/go");
    writeExecutable(m_root + QStringLiteral("/bin/brew"),
                    "#!/bin/sh\necho \"$*\" >> '" + log(QStringLiteral("brew")).toUtf8() + "'\n"
                    "i=0; while [ ! -e '" + gate.toUtf8() + "' ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done\n"
                    "if [ \"$2\" = qemu ]; then printf '#!/bin/sh\\n' > '" + m_root.toUtf8() + "/bin/qemu-img'; "
                    "chmod 755 '" + m_root.toUtf8() + "/bin/qemu-img'; fi\n"
                    "if [ \"$1\" = reinstall ]; then echo 'Error: python: no bottle available'; exit 1; fi\n");
    QCoro::Task<void> first = manager->installQEMUWithHomebrew();
    EXPECT_EQ(manager->qemuState(), State(Kind::installing));
    // While it runs, a second install is refused and a refresh keeps its state.
    runSync(manager->installQEMUWithHomebrew());
    runSync(manager->refreshStatus());
    EXPECT_EQ(manager->qemuState(), State(Kind::installing));
    EXPECT_EQ(manager->qemuDetail(), QStringLiteral("QEMU wird mit Homebrew installiert …"));
    writeFileAtomically(gate, "");
    runSync(std::move(first));
    EXPECT_EQ(logLines(QStringLiteral("brew")), QStringList{QStringLiteral("install qemu")});
    EXPECT_EQ(manager->qemuState(), State(Kind::installed));
    EXPECT_EQ(manager->qemuDetail(), m_root + QStringLiteral("/bin/qemu-img"));

    runSync(manager->repairPythonWithHomebrew());
    expectFailed(*manager, Tool::python,
                 QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: Error: python: no bottle available"));
    runSync(manager->installPythonWithHomebrew());
    EXPECT_EQ(logLines(QStringLiteral("brew")).last(), QStringLiteral("install python"));
    // No interpreter appeared: the refresh reports it missing.
    EXPECT_EQ(manager->pythonState(), State(Kind::notInstalled));

    // The Command Line Tools installer is only started, and only when there.
    manager->installCommandLineTools();
    writeExecutable(m_dependencies.tools.xcodeSelect, "#!/bin/sh\necho \"$*\" > '" + log(QStringLiteral("xcode-select")).toUtf8() + "'\n");
    manager->installCommandLineTools();
    ASSERT_TRUE(waitUntil([&]() { return !logLines(QStringLiteral("xcode-select")).isEmpty(); }, 10s));
    EXPECT_EQ(logLines(QStringLiteral("xcode-select")), QStringList{QStringLiteral("--install")});
}

TEST(ComponentFiles, HashesInBlocksAndReplacesFoldersWithoutLosingTheOld)
{
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("big.bin"));
    const QByteArray bytes = randomBytes(9 * 1024 * 1024 + 3);
    writeFileAtomically(file, bytes);
    EXPECT_EQ(ComponentFiles::sha256(file), sha256Hex(bytes));
    writeFileAtomically(file, {});
    EXPECT_EQ(ComponentFiles::sha256(file), sha256Hex(QByteArray()));
    EXPECT_THROW(ComponentFiles::sha256(folder.filePath(QStringLiteral("missing"))), FileError);

    const QString installed = folder.filePath(QStringLiteral("Blender/4.5.10"));
    const QString staged = folder.filePath(QStringLiteral("Blender/.staged"));
    createDirectories(installed);
    writeFileAtomically(installed + QStringLiteral("/old.txt"), "old");
    // The move in fails: the old copy is back in place.
    EXPECT_THROW(ComponentFiles::replaceDirectory(staged, installed), FileError);
    EXPECT_EQ(readWholeFile(installed + QStringLiteral("/old.txt")), "old");
    EXPECT_EQ(listDirectory(folder.filePath(QStringLiteral("Blender"))), QStringList{QStringLiteral("4.5.10")});

    createDirectories(staged);
    writeFileAtomically(staged + QStringLiteral("/new.txt"), "new");
    ComponentFiles::replaceDirectory(staged, installed);
    EXPECT_EQ(listDirectory(installed), QStringList{QStringLiteral("new.txt")});
    EXPECT_EQ(listDirectory(folder.filePath(QStringLiteral("Blender"))), QStringList{QStringLiteral("4.5.10")});

    // Archive names that would leave the folder.
    EXPECT_NO_THROW(ComponentFiles::refuseUnsafeEntries("xcodegen/\nxcodegen/bin/xcodegen\nxcodegen/..hidden\r\n"));
    for (const QByteArray &bad : {QByteArray("ok\n/etc/passwd\n"), QByteArray("a/../../b"), QByteArray("a\\..\\b"),
                                  QByteArray("..")}) {
        EXPECT_THROW(ComponentFiles::refuseUnsafeEntries(bad), ComponentError) << bad.toStdString();
    }

    // Into an empty place as well.
    createDirectories(staged);
    ComponentFiles::replaceDirectory(staged, folder.filePath(QStringLiteral("Blender/4.6")));
    EXPECT_TRUE(isDirectory(folder.filePath(QStringLiteral("Blender/4.6"))));
}
