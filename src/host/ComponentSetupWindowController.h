#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace trellium {

class AgentComponentManager;
class DesktopOpener;

// Owns the one component-setup window: showing it again brings the same
// window forward; once closed, the next show builds a new one.
class ComponentSetupWindowController : public QObject {
    Q_OBJECT
public:
    static constexpr QSize kMinimumSize{620, 560};

    ComponentSetupWindowController(AgentComponentManager &components, DesktopOpener &opener,
                                   QObject *parent = nullptr);
    ~ComponentSetupWindowController() override;

    static ComponentSetupWindowController &shared();

    void show();
    // The open window, or nothing.
    QWidget *window() const { return m_window; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    AgentComponentManager &m_components;
    DesktopOpener &m_opener;
    QPointer<QWidget> m_window;
};

} // namespace trellium
