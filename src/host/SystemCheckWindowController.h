#pragma once

#include "host/SystemCheckResult.h"
#include "host/SystemCheckView.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace trellium {

// Owns the one system-check window for the life of the process: every
// result is shown in it, replacing the last; closing only hides it.
class SystemCheckWindowController : public QObject {
    Q_OBJECT
public:
    explicit SystemCheckWindowController(QObject *parent = nullptr);
    ~SystemCheckWindowController() override;

    static SystemCheckWindowController &shared();

    void show(SystemCheckResult result);
    QWidget *window() const { return m_window; }
    SystemCheckView *view() const { return m_view; }

private:
    QPointer<QWidget> m_window;
    QPointer<SystemCheckView> m_view;
};

} // namespace trellium
