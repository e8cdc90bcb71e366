#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <qcoro/qcorotask.h>

namespace trellium {

// A modal notice or question of a window.
struct Alert {
    QString message;
    QString informativeText;
    // In order; the first is the default button. Empty: one "OK" button.
    QStringList buttons;
};

// Shows alerts; tests put a scripted presenter in its place. Main thread.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;

    // The index of the button that closed the alert, -1 when it went away
    // otherwise. Awaited: the event loop keeps running while it is up.
    virtual QCoro::Task<int> present(Alert alert, QPointer<QWidget> parent) = 0;

    // A message box, modal to its parent window.
    static AlertPresenter &standard();
};

class MessageBoxAlertPresenter final : public AlertPresenter {
public:
    QCoro::Task<int> present(Alert alert, QPointer<QWidget> parent) override;
};

} // namespace trellium
