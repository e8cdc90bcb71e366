#include "host/SystemCheckWindowController.h"

#include "host/SystemCheckView.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

namespace trellium {

SystemCheckWindowController::SystemCheckWindowController(QObject *parent) : QObject(parent) {}

SystemCheckWindowController::~SystemCheckWindowController()
{
    delete m_window.data();
}

SystemCheckWindowController &SystemCheckWindowController::shared()
{
    static auto *controller = new SystemCheckWindowController();
    return *controller;
}

void SystemCheckWindowController::show(SystemCheckResult result)
{
    if (!m_window) {
        m_window = new QWidget;
        m_window->setWindowTitle(QStringLiteral("TRELLIUM Systemcheck"));
        auto *layout = new QVBoxLayout(m_window);
        layout->setContentsMargins(0, 0, 0, 0);
        m_window->resize(SystemCheckView::kContentSize);
        if (const QScreen *screen = QGuiApplication::primaryScreen()) {
            QRect frame(QPoint(), SystemCheckView::kContentSize);
            frame.moveCenter(screen->availableGeometry().center());
            m_window->move(frame.topLeft());
        }
    }
    delete m_view.data();
    m_view = new SystemCheckView(std::move(result), m_window);
    m_window->layout()->addWidget(m_view);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

} // namespace trellium
