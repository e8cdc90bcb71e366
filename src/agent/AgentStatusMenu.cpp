#include "agent/AgentStatusMenu.h"

#include "agent/AgentManager.h"
#include "agent/AgentSettingsBridge.h"
#include "host/AgentSettingsView.h"
#include "platform/desktop/SymbolIcon.h"

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace trellium {

AgentStatusMenu::AgentStatusMenu(AgentManager &agent, Actions actions, QObject *parent)
    : QObject(parent), m_agent(agent), m_actions(std::move(actions)), m_menu(std::make_unique<QMenu>())
{
    m_status = m_menu->addAction(QString());
    m_status->setEnabled(false);
    m_menu->addSeparator();
    m_settings = m_menu->addAction(QStringLiteral("Einstellungen …"));
    m_components = m_menu->addAction(QStringLiteral("Komponenten"));
    m_systemCheck = m_menu->addAction(QStringLiteral("Systemcheck"));
    m_update = m_menu->addAction(QStringLiteral("Nach Updates suchen …"));
    m_menu->addSeparator();
    m_startStop = m_menu->addAction(QString());
    m_quit = m_menu->addAction(QStringLiteral("Beenden"));

    const auto call = [](const std::function<void()> &action) {
        return [action]() {
            if (action)
                action();
        };
    };
    connect(m_settings, &QAction::triggered, this, call(m_actions.openSettings));
    connect(m_components, &QAction::triggered, this, call(m_actions.openComponentSetup));
    connect(m_systemCheck, &QAction::triggered, this, call(m_actions.runSystemCheck));
    connect(m_update, &QAction::triggered, this, call(m_actions.checkForUpdates));
    connect(m_quit, &QAction::triggered, this, call(m_actions.quit));
    connect(m_startStop, &QAction::triggered, this, [this]() {
        if (m_agent.agentStatus() == AgentManager::AgentStatus::offline)
            m_agent.start(m_agent.server().port());
        else
            m_agent.stop();
    });

    connect(&m_agent, &AgentManager::statusChanged, this, &AgentStatusMenu::render);
    connect(&m_agent, &AgentManager::agentStatusChanged, this, &AgentStatusMenu::render);
    render();
}

AgentStatusMenu::~AgentStatusMenu()
{
    delete m_tray;
}

bool AgentStatusMenu::showInTray()
{
    if (m_tray)
        return true;
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    m_tray = new QSystemTrayIcon(icon());
    m_tray->setContextMenu(m_menu.get());
    m_tray->setToolTip(title());
    // A click of any button opens the menu, as on a status bar.
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger || m_menu->isVisible())
            return;
        // A menu that opens while the button is still down is closed again
        // by the button's release: open it after the release.
        if (QGuiApplication::mouseButtons() == Qt::NoButton)
            m_menu->popup(QCursor::pos());
        else
            m_popupOnRelease = true;
    });
    m_tray->show();
    qApp->installEventFilter(this);
    return true;
}

bool AgentStatusMenu::eventFilter(QObject *watched, QEvent *event)
{
    if (m_popupOnRelease && event->type() == QEvent::MouseButtonRelease) {
        m_popupOnRelease = false;
        const QPoint at = static_cast<QMouseEvent *>(event)->globalPosition().toPoint();
        QTimer::singleShot(0, m_menu.get(), [this, at]() { m_menu->popup(at); });
    }
    return QObject::eventFilter(watched, event);
}

QString AgentStatusMenu::title() const
{
    return QStringLiteral("TRELLIUM · ") + m_agent.status();
}

QIcon AgentStatusMenu::icon() const
{
    const auto status = AgentSettingsView::statusSymbol(AgentSettingsBridge::modelStatus(m_agent.agentStatus()));
    QIcon icon;
    for (const int size : {16, 22, 32, 48})
        icon.addPixmap(SymbolIcon::pixmap(QStringLiteral("shippingbox.fill"), size, SymbolIcon::color(status.tint)));
    return icon;
}

void AgentStatusMenu::setSystemCheckRunning(bool running)
{
    m_systemCheck->setEnabled(!running);
    m_systemCheck->setText(running ? QStringLiteral("Systemcheck läuft …") : QStringLiteral("Systemcheck"));
}

void AgentStatusMenu::render()
{
    const auto status = AgentSettingsView::statusSymbol(AgentSettingsBridge::modelStatus(m_agent.agentStatus()));
    m_status->setText(title());
    m_status->setIcon(QIcon(SymbolIcon::pixmap(status.symbol, 16, SymbolIcon::color(status.tint))));
    const bool offline = m_agent.agentStatus() == AgentManager::AgentStatus::offline;
    m_startStop->setText(offline ? QStringLiteral("Agent starten") : QStringLiteral("Agent stoppen"));
    if (m_tray) {
        m_tray->setIcon(icon());
        m_tray->setToolTip(title());
    }
}

} // namespace trellium
