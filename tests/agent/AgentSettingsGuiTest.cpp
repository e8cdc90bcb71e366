#include "agent/AppDelegate.h"
#include "agent/ProjectRoot.h"
#include "host/AgentSettingsView.h"
#include "host/AgentUpdateError.h"

#include "core/BuildInfo.h"
#include "core/Settings.h"
#include "support/AgentWindowsHarness.h"
#include "support/ComponentFixtures.h"
#include "support/TestEnvironment.h"
#include "support/WindowPictures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTcpServer>
#include <QTest>
#include <QToolButton>

using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;

namespace {

using Fetched = std::optional<AgentLatestManifest>;

AgentLatestManifest newerManifest()
{
    AgentLatestManifest manifest;
    manifest.version = QStringLiteral("1.4.2");
    manifest.build = 31;
    manifest.releaseNotes = QStringLiteral("Schnellere Runtimes.");
    return manifest;
}

QCoro::Task<Fetched> answerOf(Completion<Fetched> answer)
{
    co_return co_await answer;
}

QCoro::Task<void> endOf(Completion<void> done)
{
    co_await done;
}

// The settings window of a whole agent (its real manager, pairing store and
// components) with the update manager's two steps answered by the test.
class AgentSettings : public DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        m_harness = std::make_unique<AgentWindowsHarness>(scratch(QStringLiteral("tools")));
        m_harness->dependencies.fetchLatestManifest = [this]() {
            ++m_fetches;
            m_fetch = Completion<Fetched>();
            return answerOf(*m_fetch);
        };
        m_harness->dependencies.downloadInstaller = [this](AgentLatestManifest manifest,
                                                           AgentSettingsView::DownloadProgress progress) {
            m_downloads.append(manifest);
            progress(10, 100);
            m_download = Completion<void>();
            return endOf(*m_download);
        };
    }

    void TearDown() override
    {
        m_harness.reset();
        DataHomeTest::TearDown();
    }

    // A picture with the lower blocks in view.
    static void pictureOfTheEnd(AgentSettingsView &view, const QString &name)
    {
        view.findChild<QScrollArea *>()->ensureWidgetVisible(view.updateButton());
        saveWindowPicture(&view, name);
    }

    std::unique_ptr<AgentWindowsHarness> m_harness;
    int m_fetches = 0;
    std::optional<Completion<Fetched>> m_fetch;
    QList<AgentLatestManifest> m_downloads;
    std::optional<Completion<void>> m_download;
};

} // namespace

TEST_F(AgentSettings, FollowsTheAgentItsListenerItsRelayAndItsComponents)
{
    AgentSettingsView &view = m_harness->settings();
    AgentManager &agent = m_harness->agent;
    EXPECT_EQ(view.statusLabel()->text(), QStringLiteral("Offline"));
    agent.start(0);
    EXPECT_EQ(view.statusLabel()->text(), QStringLiteral("Online"));
    EXPECT_TRUE(view.serverErrorLine()->isHidden());
    EXPECT_EQ(view.relayLabel()->text(), QStringLiteral("Relay wird automatisch verbunden"));
    agent.relayClient().setConnected(true);
    EXPECT_EQ(view.relayLabel()->text(), QStringLiteral("Relay verbunden"));

    // The components and the version.
    EXPECT_EQ(view.componentsTitle()->text(), QStringLiteral("Einrichtung erforderlich"));
    EXPECT_EQ(view.componentsSymbol()->property("tint").toString(), QStringLiteral("orange"));
    view.manageButton()->click();
    EXPECT_NE(m_harness->componentSetup->window(), nullptr);

    // Showing the window again refreshes the states: the system tools stay
    // missing, yet the managed ones make it ready.
    installManagedComponents();
    view.hide();
    view.show();
    ASSERT_TRUE(waitUntil([&] { return view.componentsTitle()->text() == QStringLiteral("Bereit"); }, 10s));
    EXPECT_EQ(view.componentsSymbol()->property("symbol").toString(), QStringLiteral("checkmark.circle.fill"));
    EXPECT_EQ(view.componentsSummaryLabel()->text(),
              QStringLiteral("Blender: Installiert · XcodeGen: Installiert · Python: Nicht installiert · "
                             "QEMU: Nicht installiert"));

    // The version and build number as compiled in.
    EXPECT_EQ(view.versionLabel()->text(), QStringLiteral("Installierte Version ")
                                               + AgentSettingsView::appVersionText(agentVersion(), agentBuildNumberText()));
    EXPECT_EQ(AgentSettingsView::appVersionText(QStringLiteral("1.4"), QStringLiteral("27")), QStringLiteral("1.4 (27)"));
    EXPECT_EQ(AgentSettingsView::appVersionText(QStringLiteral("1.4"), QString()), QStringLiteral("1.4"));
    EXPECT_EQ(AgentSettingsView::appVersionText(QString(), QString()), QStringLiteral("–"));
    pictureOfTheEnd(view, QStringLiteral("settings-ready"));

    // A listener that cannot start: red status and its error under the blocks.
    agent.stop();
    QTcpServer blocker;
    ASSERT_TRUE(blocker.listen(QHostAddress::LocalHost, 0));
    agent.start(blocker.serverPort());
    EXPECT_FALSE(agent.server().isRunning());
    EXPECT_EQ(agent.agentStatus(), AgentManager::AgentStatus::failed);
    EXPECT_TRUE(view.serverErrorLabel()->text().startsWith(QStringLiteral("Der lokale Server konnte Port")));
    EXPECT_EQ(view.statusSymbolLabel()->property("tint").toString(), QStringLiteral("red"));
    EXPECT_FALSE(view.serverErrorLine()->isHidden());
    EXPECT_EQ(view.serverErrorLabel()->text(), agent.server().errorMessage().value_or(QString()));
    pictureOfTheEnd(view, QStringLiteral("settings-server-error"));
}

TEST_F(AgentSettings, PairedDevicesAreListedAndUnpairedAtOnce)
{
    AgentSettingsView &view = m_harness->settings();
    EXPECT_EQ(view.pairingCodeLabel()->text(), m_harness->pairing.pairingCode());
    const auto names = [&view]() {
        QStringList shown;
        for (const QLabel *label : view.pairedDevicesList()->findChildren<QLabel *>(QStringLiteral("deviceName")))
            shown.append(label->text());
        return shown;
    };
    EXPECT_EQ(names(), QStringList{QStringLiteral("Noch kein iPad gekoppelt")});
    EXPECT_TRUE(view.pairedDevicesList()->findChildren<QPushButton *>().isEmpty());

    userDefaults()->setValue(AgentPairingStore::kPairedNamesKey,
                             QVariantMap{{QStringLiteral("B-ID"), QStringLiteral("Zoes Tablet")},
                                         {QStringLiteral("A-ID"), QStringLiteral("Alex iPad")}});
    m_harness->secrets->secrets.insert(QStringLiteral("secret.B-ID"), "s");
    m_harness->pairing.reload();
    EXPECT_EQ(names(), (QStringList{QStringLiteral("Alex iPad"), QStringLiteral("Zoes Tablet")}));
    saveWindowPicture(&view, QStringLiteral("settings-paired-devices"));

    QWidget *zoe = view.pairedDevicesList()->findChild<QWidget *>(QStringLiteral("device-B-ID"));
    ASSERT_NE(zoe, nullptr);
    auto *unpair = zoe->findChild<QPushButton *>();
    EXPECT_EQ(unpair->text(), QStringLiteral("Entkoppeln"));
    unpair->click();
    EXPECT_EQ(names(), QStringList{QStringLiteral("Alex iPad")});
    EXPECT_EQ(m_harness->pairing.pairedClients().size(), 1);
    EXPECT_TRUE(waitUntil([&] { return m_harness->secrets->secrets.isEmpty(); }, 5s));
}

TEST_F(AgentSettings, FieldsStoreWhatIsTypedInTheUserDefaults)
{
    userDefaults()->setValue(AgentSettingsView::kRelayURLOverrideKey, QStringLiteral("wss://alt.example"));
    AgentSettingsView &view = m_harness->settings();
    QLineEdit *project = view.projectRootField();
    EXPECT_EQ(project->placeholderText(), defaultProjectRootURL());
    EXPECT_TRUE(defaultProjectRootURL().endsWith(QStringLiteral("/TRELLIUM Projects")));
    // Each keystroke stores the whole text, untrimmed; the reader trims, and
    // blanks alone mean the default.
    QTest::keyClick(project, Qt::Key_Space);
    EXPECT_EQ(userDefaults()->value(QStringLiteral("trellium.agent.projectRoot")).toString(), QStringLiteral(" "));
    EXPECT_EQ(projectRootURL(), defaultProjectRootURL());
    QTest::keyClicks(project, QStringLiteral("~/Code "));
    EXPECT_EQ(userDefaults()->value(QStringLiteral("trellium.agent.projectRoot")).toString(), QStringLiteral(" ~/Code "));
    EXPECT_EQ(projectRootURL(), QDir::homePath() + QStringLiteral("/Code"));
    project->selectAll();
    QTest::keyClick(project, Qt::Key_Delete);
    EXPECT_EQ(userDefaults()->value(QStringLiteral("trellium.agent.projectRoot"), QStringLiteral("absent")).toString(),
              QString());

    // The relay field sits folded away until asked for; the agent reads it
    // at its next start.
    QLineEdit *relay = view.relayField();
    EXPECT_FALSE(relay->isVisible());
    EXPECT_EQ(relay->text(), QStringLiteral("wss://alt.example"));
    EXPECT_EQ(relay->placeholderText(), AgentManager::builtInRelayURL().toString());
    view.relayDisclosure()->click();
    EXPECT_TRUE(relay->isVisible());
    relay->clear();
    QTest::keyClicks(relay, QStringLiteral("ws://127.0.0.1:8080"));
    EXPECT_EQ(userDefaults()->value(QStringLiteral("DADUVAVUDedurOrazedudizoROROziduroz")).toString(),
              QStringLiteral("ws://127.0.0.1:8080"));
    EXPECT_EQ(AgentManager::readRelayConnectionURL(), QUrl(QStringLiteral("ws://127.0.0.1:8080")));
    saveWindowPicture(&view, QStringLiteral("settings-fields"));
}

// One check at a time, lasting as long as its alert: up to date, an update
// put off, an update loaded, a failed check, a failed download, and a check
// that outlives its window.
TEST_F(AgentSettings, UpdateCheckOffersANewerBuildLoadsItOnRequestAndReportsFailures)
{
    AgentSettingsView &view = m_harness->settings();
    ScriptedAlertPresenter &alerts = m_harness->alerts;
    EXPECT_TRUE(view.updateStatusLabel()->isHidden());
    view.updateButton()->click();
    EXPECT_EQ(view.updateStatus(), QStringLiteral("Prüfe …"));
    EXPECT_FALSE(view.updateButton()->isEnabled());
    EXPECT_FALSE(view.updateProgress()->isHidden());
    view.checkForUpdates();
    EXPECT_EQ(m_fetches, 1);
    m_fetch->resolve(std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return !view.isCheckingForUpdates(); }, 5s));
    EXPECT_EQ(view.updateStatusLabel()->text(), QStringLiteral("Der Agent ist aktuell."));
    EXPECT_TRUE(view.updateButton()->isEnabled());
    EXPECT_TRUE(alerts.shown.isEmpty());

    view.updateButton()->click();
    m_fetch->resolve(newerManifest());
    ASSERT_TRUE(waitUntil([&] { return alerts.isShowing(); }, 5s));
    EXPECT_EQ(alerts.shown.last().message, QStringLiteral("Update verfügbar"));
    EXPECT_EQ(alerts.shown.last().informativeText,
              QStringLiteral("TRELLIUM Agent 1.4.2 (Build 31) ist verfügbar.\n\nSchnellere Runtimes."));
    EXPECT_EQ(alerts.shown.last().buttons, (QStringList{QStringLiteral("Laden"), QStringLiteral("Später")}));
    EXPECT_EQ(view.updateStatus(), QStringLiteral("Version 1.4.2 verfügbar."));
    EXPECT_FALSE(view.updateButton()->isEnabled());
    alerts.answer(1);
    ASSERT_TRUE(waitUntil([&] { return !view.isCheckingForUpdates(); }, 5s));
    EXPECT_EQ(view.updateStatus(), QStringLiteral("Version 1.4.2 verfügbar."));
    EXPECT_TRUE(m_downloads.isEmpty());

    view.updateButton()->click();
    alerts.answers = {0};
    m_fetch->resolve(newerManifest());
    ASSERT_TRUE(waitUntil([&] { return m_download.has_value(); }, 5s));
    EXPECT_EQ(m_downloads, QList<AgentLatestManifest>{newerManifest()});
    EXPECT_EQ(view.updateStatus(), QStringLiteral("Installer wird geladen …"));
    EXPECT_EQ(view.updateProgress()->value(), 100);  // 10 of 100 bytes, in tenths of a percent
    pictureOfTheEnd(view, QStringLiteral("settings-update-loading"));
    m_download->resolve();
    ASSERT_TRUE(waitUntil([&] { return !view.isCheckingForUpdates(); }, 5s));
    EXPECT_EQ(view.updateStatus(), QStringLiteral("Installer wurde geöffnet."));

    // Failures of either step end in the same alert.
    view.updateButton()->click();
    m_fetch->fail(AgentUpdateError::invalidResponse());
    ASSERT_TRUE(waitUntil([&] { return alerts.isShowing(); }, 5s));
    EXPECT_EQ(view.updateStatus(), QStringLiteral("Update fehlgeschlagen."));
    EXPECT_EQ(alerts.shown.last().message, QStringLiteral("Update konnte nicht geladen werden"));
    EXPECT_EQ(alerts.shown.last().informativeText, QStringLiteral("Der Update-Server hat keine gültige Antwort geliefert."));
    EXPECT_TRUE(alerts.shown.last().buttons.isEmpty());
    EXPECT_TRUE(view.isCheckingForUpdates());
    pictureOfTheEnd(view, QStringLiteral("settings-update-failed"));
    alerts.answer(0);
    ASSERT_TRUE(waitUntil([&] { return !view.isCheckingForUpdates(); }, 5s));

    m_download.reset();
    view.updateButton()->click();
    alerts.answers = {0};
    m_fetch->resolve(newerManifest());
    ASSERT_TRUE(waitUntil([&] { return m_download.has_value(); }, 5s));
    m_download->fail(AgentUpdateError::verificationFailed());
    ASSERT_TRUE(waitUntil([&] { return alerts.isShowing(); }, 5s));
    EXPECT_EQ(view.updateStatus(), QStringLiteral("Update fehlgeschlagen."));
    EXPECT_EQ(alerts.shown.last().informativeText, QStringLiteral("Die Update-Datei konnte nicht verifiziert werden."));
    alerts.answer(0);
    ASSERT_TRUE(waitUntil([&] { return !view.isCheckingForUpdates(); }, 5s));
    EXPECT_TRUE(view.updateButton()->isEnabled());

    // A check still waiting when its window is gone must not touch the window.
    view.updateButton()->click();
    Completion<Fetched> fetch = *m_fetch;
    const qsizetype shown = alerts.shown.size();
    delete &view;
    fetch.resolve(newerManifest());
    runSync(sleepFor(50ms));
    EXPECT_EQ(alerts.shown.size(), shown);
}
