#pragma once

#include <QIcon>
#include <QObject>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace trellium {

class AgentManager;

// The agent's status menu: its title follows the agent's status; its
// entries open the windows, run the system check and start or stop the
// agent. Shown as a tray icon where the desktop has a tray.
class AgentStatusMenu : public QObject {
    Q_OBJECT
public:
    struct Actions {
        std::function<void()> openSettings;
        std::function<void()> openComponentSetup;
        std::function<void()> runSystemCheck;
        std::function<void()> checkForUpdates;
        std::function<void()> quit;
    };

    AgentStatusMenu(AgentManager &agent, Actions actions, QObject *parent = nullptr);
    ~AgentStatusMenu() override;

    // Puts the icon into the desktop's tray; false where there is none.
    bool showInTray();

    // "TRELLIUM · Online": the tray icon's tool tip and the menu's first line.
    QString title() const;
    QIcon icon() const;
    QMenu *menu() const { return m_menu.get(); }
    QSystemTrayIcon *trayIcon() const { return m_tray; }

    QAction *statusAction() const { return m_status; }
    QAction *settingsAction() const { return m_settings; }
    QAction *componentsAction() const { return m_components; }
    QAction *systemCheckAction() const { return m_systemCheck; }
    QAction *updateAction() const { return m_update; }
    QAction *startStopAction() const { return m_startStop; }
    QAction *quitAction() const { return m_quit; }

    // While a check runs its entry is disabled: one check at a time.
    void setSystemCheckRunning(bool running);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void render();

    AgentManager &m_agent;
    Actions m_actions;
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon *m_tray = nullptr;
    bool m_popupOnRelease = false;
    QAction *m_status = nullptr;
    QAction *m_settings = nullptr;
    QAction *m_components = nullptr;
    QAction *m_systemCheck = nullptr;
    QAction *m_update = nullptr;
    QAction *m_startStop = nullptr;
    QAction *m_quit = nullptr;
};

} // namespace trellium
