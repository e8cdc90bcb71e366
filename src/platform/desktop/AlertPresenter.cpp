#include "platform/desktop/AlertPresenter.h"

#include "core/Async.h"

#include <QMessageBox>
#include <QPushButton>

namespace trellium {

AlertPresenter &AlertPresenter::standard()
{
    static MessageBoxAlertPresenter presenter;
    return presenter;
}

QCoro::Task<int> MessageBoxAlertPresenter::present(Alert alert, QPointer<QWidget> parent)
{
    // open() instead of exec(): a nested event loop would resume other
    // tasks inside this one's call stack.
    auto *box = new QMessageBox(parent.data());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Information);
    box->setText(alert.message);
    box->setInformativeText(alert.informativeText);
    QList<QAbstractButton *> buttons;
    if (alert.buttons.isEmpty()) {
        buttons.append(box->addButton(QMessageBox::Ok));
    } else {
        for (qsizetype i = 0; i < alert.buttons.size(); ++i)
            buttons.append(box->addButton(alert.buttons.at(i), i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
    }
    box->setDefaultButton(qobject_cast<QPushButton *>(buttons.first()));
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);

    Completion<int> answer;
    QObject::connect(box, &QMessageBox::buttonClicked, box, [answer, buttons](QAbstractButton *button) mutable {
        answer.resolve(int(buttons.indexOf(button)));
    });
    // Closed with its parent or by the window manager: no button.
    QObject::connect(box, &QObject::destroyed, [answer]() mutable { answer.resolve(-1); });
    box->open();
    co_return co_await answer;
}

} // namespace trellium
