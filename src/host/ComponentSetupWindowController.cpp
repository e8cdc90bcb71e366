#include "host/ComponentSetupWindowController.h"

#include "host/AgentComponentManager.h"
#include "host/ComponentSetupView.h"
#include "platform/desktop/DesktopOpener.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>

namespace trellium {

ComponentSetupWindowController::ComponentSetupWindowController(AgentComponentManager &components,
                                                               DesktopOpener &opener, QObject *parent)
    : QObject(parent), m_components(components), m_opener(opener)
{
}

ComponentSetupWindowController::~ComponentSetupWindowController()
{
    delete m_window.data();
}

ComponentSetupWindowController &ComponentSetupWindowController::shared()
{
    static auto *controller = new ComponentSetupWindowController(AgentComponentManager::shared(), DesktopOpener::standard());
    return *controller;
}

void ComponentSetupWindowController::show()
{
    if (!m_window) {
        auto *view = new ComponentSetupView(m_components, m_opener);
        view->setWindowTitle(QStringLiteral("TRELLIUM Komponenten"));
        view->setAttribute(Qt::WA_DeleteOnClose);
        view->setMinimumSize(kMinimumSize);
        view->resize(ComponentSetupView::kContentSize);
        if (const QScreen *screen = QGuiApplication::primaryScreen()) {
            QRect frame(QPoint(), ComponentSetupView::kContentSize);
            frame.moveCenter(screen->availableGeometry().center());
            view->move(frame.topLeft());
        }
        view->installEventFilter(this);
        m_window = view;
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

bool ComponentSetupWindowController::eventFilter(QObject *watched, QEvent *event)
{
    // Closing forgets the window at once (it deletes itself afterwards), so
    // a show right after a close already builds the new one. Installations
    // belong to the component manager and run on.
    if (watched == m_window && event->type() == QEvent::Close)
        m_window = nullptr;
    return QObject::eventFilter(watched, event);
}

} // namespace trellium
