#include "agent/AppDelegate.h"

#include "agent/AgentManager.h"
#include "agent/AgentPairingStore.h"
#include "agent/AgentSettingsBridge.h"
#include "agent/AgentStatusMenu.h"
#include "core/Log.h"
#include "host/AgentComponentManager.h"
#include "host/ComponentSetupWindowController.h"
#include "host/SystemCheckWindowController.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

namespace trellium {

AppDelegate::AppDelegate() : AppDelegate(Dependencies{}) {}

AppDelegate::AppDelegate(Dependencies dependencies, QObject *parent)
    : QObject(parent), m_dependencies(std::move(dependencies)),
      m_agent(m_dependencies.agent ? *m_dependencies.agent : AgentManager::shared()),
      m_pairing(m_dependencies.pairing ? *m_dependencies.pairing : AgentPairingStore::shared()),
      m_components(m_dependencies.components ? *m_dependencies.components : AgentComponentManager::shared()),
      m_componentSetup(m_dependencies.componentSetup ? *m_dependencies.componentSetup
                                                     : ComponentSetupWindowController::shared()),
      m_systemCheck(m_dependencies.systemCheck ? *m_dependencies.systemCheck : SystemCheckWindowController::shared()),
      m_bridge(std::make_unique<AgentSettingsBridge>(m_agent, m_pairing))
{
}

AppDelegate::~AppDelegate()
{
    m_cancel.cancel();
    m_pairing.setConnectionCloser(nullptr);
    delete m_settings.data();
}

void AppDelegate::applicationDidFinishLaunching()
{
    // Unpairing a device also ends what it has open on the listener.
    QPointer<AgentManager> agent(&m_agent);
    m_pairing.setConnectionCloser([agent](const QString &deviceID) {
        if (agent)
            agent->server().closeConnections(deviceID);
    });
    m_agent.start(m_dependencies.port);

    AgentStatusMenu::Actions actions;
    actions.openSettings = [this]() { showSettings(); };
    actions.openComponentSetup = [this]() { showComponentSetup(); };
    actions.runSystemCheck = [this]() { runSystemCheck(); };
    actions.checkForUpdates = [this]() { checkForUpdates(); };
    actions.quit = []() { QCoreApplication::quit(); };
    m_statusMenu = std::make_unique<AgentStatusMenu>(m_agent, std::move(actions));
    if (m_dependencies.trayIcon && !m_statusMenu->showInTray())
        logLine(QStringLiteral("STATUS MENU: no system tray; windows open with --open-window"));

    startDetached(openSetupWhenNeeded(), QStringLiteral("Component check at launch"));
}

QCoro::Task<void> AppDelegate::openSetupWhenNeeded()
{
    QPointer<AppDelegate> self(this);
    startDetached(m_components.refreshStatus(), QStringLiteral("Component status refresh"));
    try {
        co_await sleepFor(m_dependencies.setupWindowDelay, m_cancel);
    } catch (const CancelledError &) {
        co_return;
    }
    // A window whose installers can only fail here would greet every launch.
    if (self && m_components.canInstallMissingComponents())
        showComponentSetup();
}

std::optional<AppDelegate::Window> AppDelegate::windowNamed(const QString &name)
{
    if (name == QLatin1String("settings"))
        return Window::settings;
    if (name == QLatin1String("components"))
        return Window::componentSetup;
    if (name == QLatin1String("systemcheck"))
        return Window::systemCheck;
    return std::nullopt;
}

QString AppDelegate::windowName(Window window)
{
    switch (window) {
    case Window::settings:
        return QStringLiteral("settings");
    case Window::componentSetup:
        return QStringLiteral("components");
    case Window::systemCheck:
        break;
    }
    return QStringLiteral("systemcheck");
}

void AppDelegate::open(Window window)
{
    switch (window) {
    case Window::settings:
        showSettings();
        break;
    case Window::componentSetup:
        showComponentSetup();
        break;
    case Window::systemCheck:
        runSystemCheck();
        break;
    }
}

void AppDelegate::showSettings()
{
    if (!m_settings) {
        AgentSettingsView::Dependencies dependencies;
        dependencies.agent = m_bridge.get();
        dependencies.components = &m_components;
        dependencies.showComponentSetup = [this]() { showComponentSetup(); };
        dependencies.fetchLatestManifest = m_dependencies.fetchLatestManifest;
        dependencies.downloadInstaller = m_dependencies.downloadInstaller;
        dependencies.alerts = m_dependencies.alerts;
        m_settings = new AgentSettingsView(std::move(dependencies));
        m_settings->setWindowTitle(QStringLiteral("TRELLIUM Einstellungen"));
        if (const QScreen *screen = QGuiApplication::primaryScreen()) {
            QRect frame(QPoint(), AgentSettingsView::kContentSize);
            frame.moveCenter(screen->availableGeometry().center());
            m_settings->move(frame.topLeft());
        }
    }
    m_settings->show();
    m_settings->raise();
    m_settings->activateWindow();
    logShown(Window::settings);
}

void AppDelegate::showComponentSetup()
{
    m_componentSetup.show();
    logShown(Window::componentSetup);
}

void AppDelegate::checkForUpdates()
{
    showSettings();
    m_settings->checkForUpdates();
}

void AppDelegate::runSystemCheck()
{
    if (m_systemCheckRunning)
        return;
    m_systemCheckRunning = true;
    if (m_statusMenu)
        m_statusMenu->setSystemCheckRunning(true);
    startDetached(runSystemCheckTask(), QStringLiteral("System check"));
}

QCoro::Task<void> AppDelegate::runSystemCheckTask()
{
    QPointer<AppDelegate> self(this);
    std::optional<SystemCheckResult> result;
    try {
        QCoro::Task<SystemCheckResult> checking = m_agent.runSystemCheck();
        result = co_await std::move(checking);
    } catch (...) {
        // The entry must not stay disabled for good.
        logLine(QStringLiteral("SYSTEM CHECK ERROR:"), describeCurrentException());
    }
    if (!self)
        co_return;
    m_systemCheckRunning = false;
    if (m_statusMenu)
        m_statusMenu->setSystemCheckRunning(false);
    if (result) {
        m_systemCheck.show(std::move(*result));
        logShown(Window::systemCheck);
    }
}

void AppDelegate::logShown(Window window)
{
    // What a window request from the command line can be followed by.
    logLine(QStringLiteral("WINDOW SHOWN:"), windowName(window));
}

} // namespace trellium
