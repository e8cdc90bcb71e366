#include "agent/AgentStatusMenu.h"
#include "agent/AppDelegate.h"
#include "host/SystemCheckView.h"

#include "core/Settings.h"
#include "support/AgentWindowsHarness.h"
#include "support/ComponentFixtures.h"
#include "support/TestEnvironment.h"
#include "support/WindowPictures.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTcpSocket>

using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;

namespace {

class ApplicationEntry : public DataHomeTest {
protected:
    QString tools() { return scratch(QStringLiteral("tools")); }
};

} // namespace

TEST_F(ApplicationEntry, LaunchOpensTheSetupWindowLaterAndTheMenuEachWindowOnce)
{
    // With the disk-image tools, a missing Blender can be installed.
    for (const char *tool : {"/hdiutil", "/ditto", "/codesign"})
        writeExecutable(tools() + QLatin1String(tool), "#!/bin/sh\n");
    AgentWindowsHarness harness(tools());
    harness.delegate().applicationDidFinishLaunching();
    EXPECT_TRUE(harness.agent.server().isRunning());
    // Not at once: the window follows the launch.
    EXPECT_EQ(harness.componentSetup->window(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return harness.componentSetup->window() != nullptr; }, 10s));
    EXPECT_TRUE(harness.componentSetup->window()->isVisible());
    saveWindowPicture(harness.componentSetup->window(), QStringLiteral("launch-setup-window"));

    // The status title follows the agent.
    AgentStatusMenu *menu = harness.delegate().statusMenu();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), QStringLiteral("TRELLIUM · Online"));
    EXPECT_EQ(menu->statusAction()->text(), QStringLiteral("TRELLIUM · Online"));
    EXPECT_EQ(menu->startStopAction()->text(), QStringLiteral("Agent stoppen"));
    menu->startStopAction()->trigger();
    EXPECT_FALSE(harness.agent.server().isRunning());
    EXPECT_EQ(menu->statusAction()->text(), QStringLiteral("TRELLIUM · Offline"));
    EXPECT_EQ(menu->startStopAction()->text(), QStringLiteral("Agent starten"));
    menu->startStopAction()->trigger();
    EXPECT_TRUE(harness.agent.server().isRunning());
    EXPECT_EQ(menu->title(), QStringLiteral("TRELLIUM · Online"));

    // The command line names the windows.
    EXPECT_EQ(AppDelegate::windowNamed(QStringLiteral("systemcheck")), AppDelegate::Window::systemCheck);
    EXPECT_EQ(AppDelegate::windowNamed(QStringLiteral("Settings")), std::nullopt);
    harness.delegate().open(AppDelegate::Window::settings);
    QPointer<AgentSettingsView> settings = harness.delegate().settingsWindow();
    ASSERT_TRUE(settings);
    EXPECT_TRUE(settings->isVisible());
    EXPECT_EQ(settings->size(), QSize(680, 620));
    settings->close();
    menu->settingsAction()->trigger();
    EXPECT_EQ(harness.delegate().settingsWindow(), settings.data());
    EXPECT_TRUE(settings->isVisible());
    saveWindowPicture(settings, QStringLiteral("launch-settings-window"));

    // The window follows the agent itself, its relay flag included.
    EXPECT_EQ(settings->statusLabel()->text(), QStringLiteral("Online"));
    EXPECT_EQ(settings->relayLabel()->text(), QStringLiteral("Relay wird automatisch verbunden"));
    harness.agent.relayClient().setConnected(true);
    EXPECT_EQ(settings->relayLabel()->text(), QStringLiteral("Relay verbunden"));
    harness.agent.relayClient().setConnected(false);

    // "Verwalten" in the settings and the menu entry open the same window.
    harness.componentSetup->window()->close();
    settings->manageButton()->click();
    QWidget *setup = harness.componentSetup->window();
    ASSERT_NE(setup, nullptr);
    menu->componentsAction()->trigger();
    EXPECT_EQ(harness.componentSetup->window(), setup);

    // The update entry runs the settings' check.
    menu->updateAction()->trigger();
    ASSERT_TRUE(waitUntil([&] { return settings->updateStatus() == QStringLiteral("Der Agent ist aktuell."); }, 5s));
    EXPECT_EQ(harness.updateChecks, 1);

    // One check at a time; its result opens the check window.
    menu->systemCheckAction()->trigger();
    EXPECT_TRUE(harness.delegate().isSystemCheckRunning());
    EXPECT_FALSE(menu->systemCheckAction()->isEnabled());
    harness.delegate().runSystemCheck();
    ASSERT_TRUE(waitUntil([&] { return harness.systemCheck.window() != nullptr; }, 60s));
    EXPECT_TRUE(menu->systemCheckAction()->isEnabled());
    EXPECT_EQ(menu->systemCheckAction()->text(), QStringLiteral("Systemcheck"));
    EXPECT_EQ(harness.systemCheck.view()->result().items.size(), 14);
    saveWindowPicture(harness.systemCheck.window(), QStringLiteral("launch-system-check-window"));
}

TEST_F(ApplicationEntry, NoSetupWindowUnlessAMissingComponentCanBeInstalledHere)
{
    // Nothing can be installed here (no disk-image tools, and XcodeGen is a
    // macOS program), then everything is there.
    for (const bool installed : {false, true}) {
        if (installed)
            installManagedComponents();
        AgentWindowsHarness harness(tools());
        harness.delegate().applicationDidFinishLaunching();
        runSync(sleepFor(harness.dependencies.setupWindowDelay + 300ms));
        EXPECT_EQ(harness.componentSetup->window(), nullptr);
        EXPECT_EQ(harness.settings().componentsTitle()->text(),
                  installed ? QStringLiteral("Bereit") : QStringLiteral("Einrichtung erforderlich"));
    }
}

TEST_F(ApplicationEntry, NoSetupWindowWhenOnlyXcodeGenIsMissingBesideAnInstalledBlender)
{
    // The disk-image tools are there, but Blender already is as well, and
    // XcodeGen cannot be installed here.
    for (const char *tool : {"/hdiutil", "/ditto", "/codesign"})
        writeExecutable(tools() + QLatin1String(tool), "#!/bin/sh\n");
    writeExecutable(AgentComponentManager::componentsDirectory()
                        + QStringLiteral("/Blender/4.5.10/Blender.app/Contents/MacOS/Blender"),
                    "#!/bin/sh\n");
    AgentWindowsHarness harness(tools());
    ASSERT_TRUE(harness.components->needsSetup());
    harness.delegate().applicationDidFinishLaunching();
    runSync(sleepFor(harness.dependencies.setupWindowDelay + 300ms));
    EXPECT_EQ(harness.componentSetup->window(), nullptr);
    EXPECT_EQ(harness.settings().componentsTitle()->text(), QStringLiteral("Einrichtung erforderlich"));
}

// In the running agent, unpairing a device also ends its open connections;
// other devices stay connected.
TEST_F(ApplicationEntry, UnpairingClosesOnlyThatDevicesConnections)
{
    userDefaults()->setValue(AgentPairingStore::kPairedNamesKey,
                             QVariantMap{{QStringLiteral("A-ID"), QStringLiteral("Alex iPad")},
                                         {QStringLiteral("B-ID"), QStringLiteral("Zoes Tablet")}});
    AgentWindowsHarness harness(tools());
    harness.delegate().applicationDidFinishLaunching();
    ASSERT_EQ(harness.pairing.pairedClients().size(), 2);

    // Each connection gets the device the pairing handshake would record.
    QTcpSocket alex;
    alex.connectToHost(QHostAddress::LocalHost, harness.agent.server().port());
    ASSERT_TRUE(waitUntil([&] { return harness.agent.server().connections().size() == 1; }, 5s));
    harness.agent.server().connections().at(0)->setDeviceID(QStringLiteral("A-ID"));
    QTcpSocket zoe;
    zoe.connectToHost(QHostAddress::LocalHost, harness.agent.server().port());
    ASSERT_TRUE(waitUntil([&] { return harness.agent.server().connections().size() == 2; }, 5s));
    harness.agent.server().connections().at(1)->setDeviceID(QStringLiteral("B-ID"));
    ASSERT_TRUE(waitUntil([&] { return zoe.state() == QAbstractSocket::ConnectedState; }, 5s));

    harness.delegate().showSettings();
    AgentSettingsView *settings = harness.delegate().settingsWindow();
    auto *row = settings->pairedDevicesList()->findChild<QWidget *>(QStringLiteral("device-A-ID"));
    ASSERT_NE(row, nullptr);
    row->findChild<QPushButton *>(QStringLiteral("unpair"))->click();

    ASSERT_TRUE(waitUntil([&] { return alex.state() == QAbstractSocket::UnconnectedState; }, 5s));
    EXPECT_EQ(zoe.state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(harness.agent.server().connections().size(), 1);
    EXPECT_EQ(harness.pairing.pairedClients().size(), 1);
    EXPECT_FALSE(userDefaults()->value(AgentPairingStore::kPairedNamesKey).toMap().contains(QStringLiteral("A-ID")));
    EXPECT_EQ(settings->pairedDevicesList()->findChild<QWidget *>(QStringLiteral("device-A-ID")), nullptr);
    saveWindowPicture(settings, QStringLiteral("launch-after-unpairing"));
}
