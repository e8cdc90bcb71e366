#pragma once

#include "host/SystemCheckResult.h"

#include <QWidget>

class QLabel;

namespace trellium {

class SystemCheckRow;

// One system-check result: the verdict, the counts per state and the items
// grouped by category. Never changes once made.
class SystemCheckView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize kContentSize{620, 520};

    explicit SystemCheckView(SystemCheckResult result, QWidget *parent = nullptr);

    const SystemCheckResult &result() const { return m_result; }

    static QString verdict(const SystemCheckResult &result);
    static QString countsLine(const SystemCheckResult &result);

    QLabel *verdictLabel() const { return m_verdict; }
    QLabel *countsLabel() const { return m_counts; }
    // The section headings shown, top to bottom.
    QStringList sectionTitles() const;
    // The rows of one section (by its heading), in order.
    QList<SystemCheckRow *> rows(const QString &sectionTitle) const;

private:
    SystemCheckResult m_result;
    QLabel *m_verdict = nullptr;
    QLabel *m_counts = nullptr;
    QList<QPair<QLabel *, QList<SystemCheckRow *>>> m_sections;
};

} // namespace trellium
