#include "host/AgentComponentManager.h"
#include "host/AgentSettingsView.h"
#include "host/AgentUpdateError.h"

#include "core/BuildInfo.h"
#include "core/Settings.h"
#include "support/HttpTestServer.h"
#include "support/ScriptedAlertPresenter.h"
#include "support/TestEnvironment.h"
#include "support/WindowPictures.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;
using Status = AgentSettingsModel::AgentStatus;

namespace {

// The agent core as the settings window sees it, set by the test.
class FakeAgent final : public AgentSettingsModel {
public:
    QString deviceName() const override { return QStringLiteral("werkbank"); }
    QString status() const override { return statusText; }
    AgentStatus agentStatus() const override { return statusValue; }
    std::optional<QString> serverErrorMessage() const override { return serverError; }
    bool isRelayConnected() const override { return relayConnected; }
    QString pairingCode() const override { return QStringLiteral("042917"); }
    QList<PairedDevice> pairedClients() const override { return devices; }
    void removeClient(const QString &id) override
    {
        removed.append(id);
        devices.removeIf([&id](const PairedDevice &device) { return device.id == id; });
        emit changed();
    }
    QString defaultProjectRoot() const override { return QStringLiteral("/home/anna/Dokumente/TRELLIUM Projects"); }
    QString builtInRelayURL() const override { return QStringLiteral("wss://relay.example/v1/agent"); }

    void set(Status status, const QString &text)
    {
        statusValue = status;
        statusText = text;
        emit changed();
    }

    QString statusText = QStringLiteral("Online");
    AgentStatus statusValue = AgentStatus::online;
    std::optional<QString> serverError;
    bool relayConnected = false;
    QList<PairedDevice> devices;
    QStringList removed;
};

AgentLatestManifest newerManifest()
{
    AgentLatestManifest manifest;
    manifest.platform = QStringLiteral("linux");
    manifest.product = QStringLiteral("TRELLIUM Agent");
    manifest.version = QStringLiteral("1.4.2");
    manifest.build = 31;
    manifest.channel = QStringLiteral("stable");
    manifest.releaseNotes = QStringLiteral("Schnellere Runtimes.");
    return manifest;
}

// The update manager's two steps, answered when the test says so.
struct UpdateScript {
    int fetches = 0;
    std::optional<Completion<std::optional<AgentLatestManifest>>> fetch;
    QList<AgentLatestManifest> downloads;
    std::optional<Completion<void>> download;

    AgentSettingsView::FetchManifest fetcher()
    {
        return [this]() -> QCoro::Task<std::optional<AgentLatestManifest>> {
            ++fetches;
            Completion<std::optional<AgentLatestManifest>> answer;
            fetch = answer;
            co_return co_await answer;
        };
    }
    AgentSettingsView::DownloadInstaller downloader()
    {
        return [this](AgentLatestManifest manifest, AgentSettingsView::DownloadProgress progress) -> QCoro::Task<void> {
            downloads.append(manifest);
            progress(10, 100);
            Completion<void> done;
            download = done;
            co_await done;
        };
    }
};

class AgentSettings : public DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        const QString root = scratch(QStringLiteral("host"));
        AgentComponentManager::Dependencies tools;
        tools.tools.qemuImg = {root + QStringLiteral("/qemu-img")};
        tools.tools.python3 = {root + QStringLiteral("/python3")};
        tools.tools.homebrew = {};
        tools.tools.xcodeApplications = {};
        tools.tools.xcodeSelect = root + QStringLiteral("/xcode-select");
        m_components = std::make_unique<AgentComponentManager>(tools);
        runSync(m_components->refreshStatus());
    }

    std::unique_ptr<AgentSettingsView> makeView()
    {
        AgentSettingsView::Dependencies dependencies;
        dependencies.agent = &m_agent;
        dependencies.components = m_components.get();
        dependencies.showComponentSetup = [this]() { ++m_setupShown; };
        dependencies.fetchLatestManifest = m_updates.fetcher();
        dependencies.downloadInstaller = m_updates.downloader();
        dependencies.alerts = &m_alerts;
        dependencies.version = QStringLiteral("0.9.1");
        dependencies.build = QStringLiteral("27");
        auto view = std::make_unique<AgentSettingsView>(dependencies);
        view->show();
        return view;
    }

    static void installManagedComponents()
    {
        const QString components = AgentComponentManager::componentsDirectory();
        writeExecutable(components + QStringLiteral("/Blender/4.5.10/Blender.app/Contents/MacOS/Blender"), "#!/bin/sh\n");
        writeExecutable(components + QStringLiteral("/XcodeGen/2.45.4/xcodegen/bin/xcodegen"), "#!/bin/sh\n");
    }

    FakeAgent m_agent;
    std::unique_ptr<AgentComponentManager> m_components;
    ScriptedAlertPresenter m_alerts;
    UpdateScript m_updates;
    int m_setupShown = 0;
};

} // namespace

TEST_F(AgentSettings, ShowsTheAgentItsStatusAndItsListenerError)
{
    auto view = makeView();
    EXPECT_EQ(view->size(), QSize(680, 620));
    EXPECT_EQ(view->deviceNameLabel()->text(), QStringLiteral("werkbank"));
    EXPECT_EQ(view->statusLabel()->text(), QStringLiteral("Online"));
    EXPECT_EQ(view->relayLabel()->text(), QStringLiteral("Relay wird automatisch verbunden"));
    EXPECT_TRUE(view->serverErrorLine()->isHidden());

    const QList<std::tuple<Status, QString, QString>> symbols{
        {Status::offline, QStringLiteral("circle"), QStringLiteral("secondary")},
        {Status::online, QStringLiteral("checkmark.circle.fill"), QStringLiteral("green")},
        {Status::connected, QStringLiteral("link.circle.fill"), QStringLiteral("green")},
        {Status::building, QStringLiteral("hammer.circle.fill"), QStringLiteral("orange")},
        {Status::failed, QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("red")},
    };
    for (const auto &[status, symbol, tint] : symbols) {
        m_agent.set(status, QStringLiteral("Zustand ") + symbol);
        EXPECT_EQ(view->statusLabel()->text(), QStringLiteral("Zustand ") + symbol);
        EXPECT_EQ(view->statusSymbolLabel()->property("symbol").toString(), symbol);
        EXPECT_EQ(view->statusSymbolLabel()->property("tint").toString(), tint);
    }

    // The listener's error and the relay flag are read at the next redraw.
    m_agent.serverError = QStringLiteral("Der lokale Server konnte Port 9876 nicht öffnen: Address in use");
    m_agent.relayConnected = true;
    m_agent.set(Status::failed, QStringLiteral("Fehler"));
    EXPECT_FALSE(view->serverErrorLine()->isHidden());
    EXPECT_EQ(view->serverErrorLabel()->text(), *m_agent.serverError);
    EXPECT_EQ(view->relayLabel()->text(), QStringLiteral("Relay verbunden"));
    saveWindowPicture(view.get(), QStringLiteral("settings-server-error"));
}

TEST_F(AgentSettings, PairedDevicesAreListedAndUnpairedAtOnce)
{
    auto view = makeView();
    EXPECT_EQ(view->pairingCodeLabel()->text(), QStringLiteral("042917"));
    const auto names = [&view]() {
        QStringList shown;
        for (const QLabel *label : view->pairedDevicesList()->findChildren<QLabel *>(QStringLiteral("deviceName")))
            shown.append(label->text());
        return shown;
    };
    EXPECT_EQ(names(), QStringList{QStringLiteral("Noch kein iPad gekoppelt")});
    EXPECT_TRUE(view->pairedDevicesList()->findChildren<QPushButton *>().isEmpty());

    m_agent.devices = {{QStringLiteral("A-ID"), QStringLiteral("Alex iPad")}, {QStringLiteral("B-ID"), QStringLiteral("Zoes Tablet")}};
    emit m_agent.changed();
    EXPECT_EQ(names(), (QStringList{QStringLiteral("Alex iPad"), QStringLiteral("Zoes Tablet")}));
    saveWindowPicture(view.get(), QStringLiteral("settings-paired-devices"));

    auto *zoe = view->pairedDevicesList()->findChild<QWidget *>(QStringLiteral("device-B-ID"));
    ASSERT_NE(zoe, nullptr);
    auto *unpair = zoe->findChild<QPushButton *>(QStringLiteral("unpair"));
    EXPECT_EQ(unpair->text(), QStringLiteral("Entkoppeln"));
    unpair->click();
    EXPECT_EQ(m_agent.removed, QStringList{QStringLiteral("B-ID")});
    EXPECT_EQ(names(), QStringList{QStringLiteral("Alex iPad")});
}

TEST_F(AgentSettings, FieldsStoreWhatIsTypedInTheUserDefaults)
{
    userDefaults()->setValue(AgentSettingsView::kRelayURLOverrideKey, QStringLiteral("wss://alt.example"));
    auto view = makeView();
    QLineEdit *project = view->projectRootField();
    EXPECT_EQ(project->placeholderText(), QStringLiteral("/home/anna/Dokumente/TRELLIUM Projects"));
    EXPECT_TRUE(project->text().isEmpty());

    // Each keystroke stores the whole text, untrimmed.
    QTest::keyClick(project, Qt::Key_Space);
    EXPECT_EQ(userDefaults()->value(AgentSettingsView::kProjectRootKey).toString(), QStringLiteral(" "));
    QTest::keyClicks(project, QStringLiteral("~/Code "));
    EXPECT_EQ(userDefaults()->value(QStringLiteral("trellium.agent.projectRoot")).toString(), QStringLiteral(" ~/Code "));
    project->selectAll();
    QTest::keyClick(project, Qt::Key_Delete);
    EXPECT_TRUE(userDefaults()->contains(QStringLiteral("trellium.agent.projectRoot")));
    EXPECT_EQ(userDefaults()->value(QStringLiteral("trellium.agent.projectRoot")).toString(), QString());

    // The relay field sits folded away until asked for.
    QLineEdit *relay = view->relayField();
    EXPECT_FALSE(relay->isVisible());
    EXPECT_EQ(relay->text(), QStringLiteral("wss://alt.example"));
    EXPECT_EQ(relay->placeholderText(), QStringLiteral("wss://relay.example/v1/agent"));
    view->relayDisclosure()->click();
    EXPECT_TRUE(relay->isVisible());
    relay->clear();
    QTest::keyClicks(relay, QStringLiteral("ws://127.0.0.1:8080"));
    EXPECT_EQ(userDefaults()->value(QStringLiteral("DADUVAVUDedurOrazedudizoROROziduroz")).toString(),
              QStringLiteral("ws://127.0.0.1:8080"));
    saveWindowPicture(view.get(), QStringLiteral("settings-fields"));
}

TEST_F(AgentSettings, ComponentsGroupFollowsTheManagedComponents)
{
    auto view = makeView();
    EXPECT_EQ(view->componentsTitle()->text(), QStringLiteral("Einrichtung erforderlich"));
    EXPECT_EQ(view->componentsSymbol()->property("tint").toString(), QStringLiteral("orange"));
    EXPECT_EQ(view->componentsSummaryLabel()->text(),
              QStringLiteral("Blender: Nicht installiert · XcodeGen: Nicht installiert · Python: Nicht installiert · "
                             "QEMU: Nicht installiert"));
    EXPECT_TRUE(view->componentsProgress()->isHidden());
    view->manageButton()->click();
    EXPECT_EQ(m_setupShown, 1);
    saveWindowPicture(view.get(), QStringLiteral("settings-setup-needed"));

    // Showing the window again refreshes the states: the system tools stay
    // missing, yet the managed ones make it ready.
    installManagedComponents();
    view->hide();
    view->show();
    ASSERT_TRUE(waitUntil([&] { return view->componentsTitle()->text() == QStringLiteral("Bereit"); }, 10s));
    EXPECT_EQ(view->componentsSymbol()->property("symbol").toString(), QStringLiteral("checkmark.circle.fill"));
    EXPECT_EQ(view->componentsSummaryLabel()->text(),
              QStringLiteral("Blender: Installiert · XcodeGen: Installiert · Python: Nicht installiert · "
                             "QEMU: Nicht installiert"));
    saveWindowPicture(view.get(), QStringLiteral("settings-ready"));
}

TEST_F(AgentSettings, BlenderDownloadShowsProgressAndFailuresNameNoDetail)
{
    HttpTestServer server(HttpTestServer::Scheme::https);
    HttpResponse held = HttpResponse::ok(QByteArray(4096, 'b'));
    held.stallAfter = 0;
    server.route("/blender.dmg", held);
    server.route("/xcodegen.zip", HttpResponse::withStatus(500));
    const QString root = scratch(QStringLiteral("disk-tools"));
    AgentComponentManager::Dependencies dependencies;
    dependencies.tools.hdiutil = root + QStringLiteral("/hdiutil");
    dependencies.tools.ditto = root + QStringLiteral("/ditto");
    dependencies.tools.codesign = root + QStringLiteral("/codesign");
    for (const QString &tool : {dependencies.tools.hdiutil, dependencies.tools.ditto, dependencies.tools.codesign})
        writeExecutable(tool, "#!/bin/sh\n");
    dependencies.tlsConfiguration = HttpTestServer::clientConfiguration();
    dependencies.temporaryDirectory = scratch(QStringLiteral("tmp"));
    for (AgentComponent &component : dependencies.manifest.components) {
        AgentComponentArtifact &artifact = component.artifacts[agentArchitecture()];
        artifact.downloadURL = server.url(component.id == QStringLiteral("blender") ? QStringLiteral("/blender.dmg")
                                                                                   : QStringLiteral("/xcodegen.zip"));
    }
    m_components = std::make_unique<AgentComponentManager>(dependencies);
    runSync(m_components->refreshStatus());
    auto view = makeView();

    startDetached(m_components->installXcodeGen(), QStringLiteral("test"));
    startDetached(m_components->installBlender(), QStringLiteral("test"));
    ASSERT_TRUE(waitUntil([&] { return m_components->state().kind() == AgentComponentManager::State::Kind::downloading
                                    && m_components->xcodeGenState().kind() == AgentComponentManager::State::Kind::failed; },
                          10s));
    EXPECT_FALSE(view->componentsProgress()->isHidden());
    // The failure's message stays in the component window's detail line.
    EXPECT_TRUE(view->componentsSummaryLabel()->text().startsWith(
        QStringLiteral("Blender: Wird heruntergeladen … · XcodeGen: Installation fehlgeschlagen · Python:")));
    saveWindowPicture(view.get(), QStringLiteral("settings-blender-downloading"));
}

TEST_F(AgentSettings, VersionLineReadsTheCompiledInVersion)
{
    EXPECT_EQ(AgentSettingsView::appVersionText(QStringLiteral("1.4"), QStringLiteral("27")), QStringLiteral("1.4 (27)"));
    EXPECT_EQ(AgentSettingsView::appVersionText(QStringLiteral("1.4"), QString()), QStringLiteral("1.4"));
    EXPECT_EQ(AgentSettingsView::appVersionText(QString(), QString()), QStringLiteral("–"));
    auto view = makeView();
    EXPECT_EQ(view->versionLabel()->text(), QStringLiteral("Installierte Version 0.9.1 (27)"));
    // Without values of its own the window shows what the build compiled in.
    const AgentSettingsView::Dependencies defaults;
    EXPECT_EQ(defaults.version, agentVersion());
    EXPECT_EQ(defaults.build, agentBuildNumberText());
    EXPECT_FALSE(defaults.version.isEmpty());
}

TEST_F(AgentSettings, UpToDateEndsTheCheckWithoutAnAlert)
{
    auto view = makeView();
    EXPECT_TRUE(view->updateStatusLabel()->isHidden());
    view->updateButton()->click();
    EXPECT_EQ(view->updateStatus(), QStringLiteral("Prüfe …"));
    EXPECT_FALSE(view->updateButton()->isEnabled());
    EXPECT_FALSE(view->updateProgress()->isHidden());
    // A second press (or call) while it runs starts nothing.
    view->checkForUpdates();
    EXPECT_EQ(m_updates.fetches, 1);
    saveWindowPicture(view.get(), QStringLiteral("settings-update-checking"));

    m_updates.fetch->resolve(std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return !view->isCheckingForUpdates(); }, 5s));
    EXPECT_EQ(view->updateStatusLabel()->text(), QStringLiteral("Der Agent ist aktuell."));
    EXPECT_TRUE(view->updateButton()->isEnabled());
    EXPECT_TRUE(view->updateProgress()->isHidden());
    EXPECT_TRUE(m_alerts.shown.isEmpty());
}

TEST_F(AgentSettings, AvailableUpdateIsOfferedAndCanWait)
{
    auto view = makeView();
    view->updateButton()->click();
    m_updates.fetch->resolve(newerManifest());
    ASSERT_TRUE(waitUntil([&] { return m_alerts.isShowing(); }, 5s));
    ASSERT_EQ(m_alerts.shown.size(), 1);
    const Alert &offer = m_alerts.shown.first();
    EXPECT_EQ(offer.message, QStringLiteral("Update verfügbar"));
    EXPECT_EQ(offer.informativeText,
              QStringLiteral("TRELLIUM Agent 1.4.2 (Build 31) ist verfügbar.\n\nSchnellere Runtimes."));
    EXPECT_EQ(offer.buttons, (QStringList{QStringLiteral("Laden"), QStringLiteral("Später")}));
    EXPECT_EQ(view->updateStatus(), QStringLiteral("Version 1.4.2 verfügbar."));
    // The check lasts as long as the question.
    EXPECT_FALSE(view->updateButton()->isEnabled());

    m_alerts.answer(1);
    ASSERT_TRUE(waitUntil([&] { return !view->isCheckingForUpdates(); }, 5s));
    EXPECT_EQ(view->updateStatus(), QStringLiteral("Version 1.4.2 verfügbar."));
    EXPECT_TRUE(m_updates.downloads.isEmpty());
    saveWindowPicture(view.get(), QStringLiteral("settings-update-later"));
}

TEST_F(AgentSettings, LoadingTheUpdateOpensTheInstaller)
{
    auto view = makeView();
    view->updateButton()->click();
    m_alerts.answers = {0};
    m_updates.fetch->resolve(newerManifest());
    ASSERT_TRUE(waitUntil([&] { return m_updates.download.has_value(); }, 5s));
    ASSERT_EQ(m_updates.downloads.size(), 1);
    EXPECT_EQ(m_updates.downloads.first(), newerManifest());
    EXPECT_EQ(view->updateStatus(), QStringLiteral("Installer wird geladen …"));
    EXPECT_FALSE(view->updateButton()->isEnabled());
    EXPECT_EQ(view->updateProgress()->value(), 100);  // 10 of 100 bytes, in tenths of a percent
    saveWindowPicture(view.get(), QStringLiteral("settings-update-loading"));

    m_updates.download->resolve();
    ASSERT_TRUE(waitUntil([&] { return !view->isCheckingForUpdates(); }, 5s));
    EXPECT_EQ(view->updateStatus(), QStringLiteral("Installer wurde geöffnet."));
    EXPECT_EQ(m_alerts.shown.size(), 1);
}

TEST_F(AgentSettings, FailuresOfEitherStepEndInTheSameAlert)
{
    auto view = makeView();
    view->updateButton()->click();
    m_updates.fetch->fail(AgentUpdateError::invalidResponse());
    ASSERT_TRUE(waitUntil([&] { return m_alerts.isShowing(); }, 5s));
    EXPECT_EQ(view->updateStatus(), QStringLiteral("Update fehlgeschlagen."));
    EXPECT_EQ(m_alerts.shown.last().message, QStringLiteral("Update konnte nicht geladen werden"));
    EXPECT_EQ(m_alerts.shown.last().informativeText,
              QStringLiteral("Der Update-Server hat keine gültige Antwort geliefert."));
    EXPECT_TRUE(m_alerts.shown.last().buttons.isEmpty());
    EXPECT_TRUE(view->isCheckingForUpdates());
    saveWindowPicture(view.get(), QStringLiteral("settings-update-failed"));
    m_alerts.answer(0);
    ASSERT_TRUE(waitUntil([&] { return !view->isCheckingForUpdates(); }, 5s));

    view->updateButton()->click();
    m_alerts.answers = {0};
    m_updates.fetch->resolve(newerManifest());
    ASSERT_TRUE(waitUntil([&] { return m_updates.download.has_value(); }, 5s));
    m_updates.download->fail(AgentUpdateError::verificationFailed());
    ASSERT_TRUE(waitUntil([&] { return m_alerts.isShowing(); }, 5s));
    EXPECT_EQ(view->updateStatus(), QStringLiteral("Update fehlgeschlagen."));
    EXPECT_EQ(m_alerts.shown.last().informativeText, QStringLiteral("Die Update-Datei konnte nicht verifiziert werden."));
    m_alerts.answer(0);
    ASSERT_TRUE(waitUntil([&] { return !view->isCheckingForUpdates(); }, 5s));
    EXPECT_TRUE(view->updateButton()->isEnabled());
}

// Closing the settings for good while the check waits must not touch the
// destroyed window when the answer comes.
TEST_F(AgentSettings, ACheckOutlivingItsWindowTouchesNothing)
{
    auto view = makeView();
    view->updateButton()->click();
    Completion<std::optional<AgentLatestManifest>> fetch = *m_updates.fetch;
    view.reset();
    fetch.resolve(newerManifest());
    runSync(sleepFor(50ms));
    EXPECT_TRUE(m_alerts.shown.isEmpty());
}
