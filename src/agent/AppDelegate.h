#pragma once

#include "agent/AgentServer.h"
#include "core/Async.h"
#include "host/AgentSettingsView.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <memory>
#include <optional>

namespace trellium {

class AgentComponentManager;
class AgentManager;
class AgentPairingStore;
class AgentSettingsBridge;
class AgentStatusMenu;
class AlertPresenter;
class ComponentSetupWindowController;
class SystemCheckWindowController;

// The application's start: starts the agent, wires the pairing store to the
// listener, puts up the status menu, checks the components and opens the
// component-setup window when Blender or XcodeGen is missing and can be
// installed on this host; and opens the
// windows the menu or the command line asks for. Main thread.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    enum class Window { settings, componentSetup, systemCheck };

    // Null members are the shared instances.
    struct Dependencies {
        AgentManager *agent = nullptr;
        AgentPairingStore *pairing = nullptr;
        AgentComponentManager *components = nullptr;
        ComponentSetupWindowController *componentSetup = nullptr;
        SystemCheckWindowController *systemCheck = nullptr;
        AlertPresenter *alerts = nullptr;
        AgentSettingsView::FetchManifest fetchLatestManifest;
        AgentSettingsView::DownloadInstaller downloadInstaller;
        uint16_t port = AgentServer::kDefaultPort;
        std::chrono::milliseconds setupWindowDelay = std::chrono::milliseconds(500);
        // Off: no tray icon even where the desktop has a tray.
        bool trayIcon = true;
    };

    AppDelegate();
    explicit AppDelegate(Dependencies dependencies, QObject *parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();

    // "settings", "components" or "systemcheck".
    static std::optional<Window> windowNamed(const QString &name);
    static QString windowName(Window window);
    void open(Window window);

    void showSettings();
    void showComponentSetup();
    // Runs the system check and shows its result; a second call while one
    // runs does nothing.
    void runSystemCheck();
    // Opens the settings and starts their update check.
    void checkForUpdates();

    AgentStatusMenu *statusMenu() const { return m_statusMenu.get(); }
    AgentSettingsView *settingsWindow() const { return m_settings; }
    bool isSystemCheckRunning() const { return m_systemCheckRunning; }

private:
    QCoro::Task<void> openSetupWhenNeeded();
    QCoro::Task<void> runSystemCheckTask();
    void logShown(Window window);

    Dependencies m_dependencies;
    AgentManager &m_agent;
    AgentPairingStore &m_pairing;
    AgentComponentManager &m_components;
    ComponentSetupWindowController &m_componentSetup;
    SystemCheckWindowController &m_systemCheck;
    std::unique_ptr<AgentSettingsBridge> m_bridge;
    std::unique_ptr<AgentStatusMenu> m_statusMenu;
    QPointer<AgentSettingsView> m_settings;
    bool m_systemCheckRunning = false;
    CancelToken m_cancel;
};

} // namespace trellium
