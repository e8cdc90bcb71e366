#include "support/AgentWindowsHarness.h"

namespace trellium::test {

AgentWindowsHarness::AgentWindowsHarness(const QString &toolsFolder, bool trayIcon)
{
    AgentComponentManager::Dependencies tools;
    tools.tools.qemuImg = {toolsFolder + QStringLiteral("/qemu-img")};
    tools.tools.python3 = {toolsFolder + QStringLiteral("/python3")};
    tools.tools.homebrew = {toolsFolder + QStringLiteral("/brew")};
    tools.tools.xcodeApplications = {toolsFolder + QStringLiteral("/Xcode.app")};
    tools.tools.xcodeSelect = toolsFolder + QStringLiteral("/xcode-select");
    tools.tools.hdiutil = toolsFolder + QStringLiteral("/hdiutil");
    tools.tools.ditto = toolsFolder + QStringLiteral("/ditto");
    tools.tools.codesign = toolsFolder + QStringLiteral("/codesign");
    components = std::make_unique<AgentComponentManager>(tools);
    componentSetup = std::make_unique<ComponentSetupWindowController>(*components, opener);

    dependencies.agent = &agent;
    dependencies.pairing = &pairing;
    dependencies.components = components.get();
    dependencies.componentSetup = componentSetup.get();
    dependencies.systemCheck = &systemCheck;
    dependencies.alerts = &alerts;
    dependencies.fetchLatestManifest = [this]() -> QCoro::Task<std::optional<AgentLatestManifest>> {
        ++updateChecks;
        co_return std::nullopt;
    };
    dependencies.port = 0;
    dependencies.setupWindowDelay = std::chrono::milliseconds(200);
    dependencies.trayIcon = trayIcon;
}

AgentWindowsHarness::~AgentWindowsHarness()
{
    m_delegate.reset();
    agent.stop();
}

AppDelegate &AgentWindowsHarness::delegate()
{
    if (!m_delegate)
        m_delegate = std::make_unique<AppDelegate>(dependencies);
    return *m_delegate;
}

AgentSettingsView &AgentWindowsHarness::settings()
{
    delegate().showSettings();
    return *delegate().settingsWindow();
}

} // namespace trellium::test
