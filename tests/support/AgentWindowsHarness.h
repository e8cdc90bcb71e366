#pragma once

#include "agent/AgentManager.h"
#include "agent/AgentPairingStore.h"
#include "agent/AppDelegate.h"
#include "host/AgentComponentManager.h"
#include "host/ComponentSetupWindowController.h"
#include "host/SystemCheckWindowController.h"
#include "support/MemorySecretStore.h"
#include "support/RecordingDesktopOpener.h"
#include "support/ScriptedAlertPresenter.h"

#include <memory>

namespace trellium::test {

// A whole agent with its windows, as the application entry puts it
// together, made of the test's own instances: the listener on a free port,
// secrets in memory, tools in `toolsFolder` (none there at first), links
// recorded, alerts scripted and update checks answered "up to date".
struct AgentWindowsHarness {
    explicit AgentWindowsHarness(const QString &toolsFolder, bool trayIcon = false);
    ~AgentWindowsHarness();

    // Made on first use from `dependencies`, which a test may change before.
    AppDelegate &delegate();
    // The settings window, shown.
    AgentSettingsView &settings();

    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
    AgentManager agent;
    AgentPairingStore pairing{secrets};
    std::unique_ptr<AgentComponentManager> components;
    RecordingDesktopOpener opener;
    ScriptedAlertPresenter alerts;
    std::unique_ptr<ComponentSetupWindowController> componentSetup;
    SystemCheckWindowController systemCheck;
    int updateChecks = 0;
    AppDelegate::Dependencies dependencies;

private:
    std::unique_ptr<AppDelegate> m_delegate;
};

} // namespace trellium::test
