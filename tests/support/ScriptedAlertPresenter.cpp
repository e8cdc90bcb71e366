#include "support/ScriptedAlertPresenter.h"

namespace trellium::test {

QCoro::Task<int> ScriptedAlertPresenter::present(Alert alert, QPointer<QWidget>)
{
    shown.append(alert);
    if (!answers.isEmpty())
        co_return answers.takeFirst();
    Completion<int> pending;
    m_pending = pending;
    const int button = co_await pending;
    co_return button;
}

void ScriptedAlertPresenter::answer(int button)
{
    if (!m_pending)
        return;
    Completion<int> pending = *m_pending;
    m_pending.reset();
    pending.resolve(button);
}

} // namespace trellium::test
