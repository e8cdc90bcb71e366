#pragma once

#include "core/Async.h"
#include "platform/desktop/AlertPresenter.h"

#include <QList>

#include <optional>

namespace trellium::test {

// Records every alert and answers it: with the next scripted answer, or,
// without one, leaves it open until answer() is called.
class ScriptedAlertPresenter final : public AlertPresenter {
public:
    QCoro::Task<int> present(Alert alert, QPointer<QWidget> parent) override;

    // Answers the alert that is up (by button index).
    void answer(int button);
    bool isShowing() const { return m_pending.has_value(); }

    QList<Alert> shown;
    QList<int> answers;  // consumed from the front

private:
    std::optional<Completion<int>> m_pending;
};

} // namespace trellium::test
