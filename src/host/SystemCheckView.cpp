#include "host/SystemCheckView.h"

#include "host/SystemCheckRow.h"
#include "platform/desktop/TextStyle.h"

#include <QLabel>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>

namespace trellium {

QString SystemCheckView::verdict(const SystemCheckResult &result)
{
    if (result.failedCount() >= 1)
        return QStringLiteral("System nicht bereit");
    if (result.warningCount() >= 1)
        return QStringLiteral("System bereit mit Warnungen");
    return QStringLiteral("System bereit");
}

QString SystemCheckView::countsLine(const SystemCheckResult &result)
{
    return QString::number(result.passedCount()) + QStringLiteral(" erfolgreich · ")
        + QString::number(result.warningCount()) + QStringLiteral(" Warnungen · ")
        + QString::number(result.failedCount()) + QStringLiteral(" Fehler");
}

SystemCheckView::SystemCheckView(SystemCheckResult result, QWidget *parent)
    : QWidget(parent), m_result(std::move(result))
{
    const int margin = style()->pixelMetric(QStyle::PM_LayoutLeftMargin);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(16);

    auto *heading = new QVBoxLayout;
    heading->setSpacing(4);
    m_verdict = new QLabel(verdict(m_result), this);
    m_verdict->setObjectName(QStringLiteral("verdict"));
    TextStyle::apply(m_verdict, TextStyle::Size::title2, true);
    heading->addWidget(m_verdict);
    m_counts = new QLabel(countsLine(m_result), this);
    m_counts->setObjectName(QStringLiteral("counts"));
    TextStyle::setTint(m_counts, SymbolTint::secondary);
    heading->addWidget(m_counts);
    column->addLayout(heading);

    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *list = new QWidget(scroll);
    list->setObjectName(QStringLiteral("list"));
    list->setAutoFillBackground(true);
    list->setBackgroundRole(QPalette::Base);
    auto *sections = new QVBoxLayout(list);
    sections->setSpacing(2);
    for (const SystemCheckCategory category : kSystemCheckCategories) {
        QList<SystemCheckRow *> rows;
        for (const SystemCheckItem &item : m_result.items) {
            if (item.category == category)
                rows.append(new SystemCheckRow(item, list));
        }
        if (rows.isEmpty())
            continue;
        auto *title = new QLabel(systemCheckCategoryTitle(category), list);
        title->setObjectName(QStringLiteral("section"));
        TextStyle::apply(title, TextStyle::Size::callout, true);
        TextStyle::setTint(title, SymbolTint::secondary);
        if (!m_sections.isEmpty())
            sections->addSpacing(10);
        sections->addWidget(title);
        for (SystemCheckRow *row : rows)
            sections->addWidget(row);
        m_sections.append({title, rows});
    }
    sections->addStretch(1);
    scroll->setWidget(list);
    column->addWidget(scroll, 1);
}

QStringList SystemCheckView::sectionTitles() const
{
    QStringList titles;
    for (const auto &section : m_sections)
        titles.append(section.first->text());
    return titles;
}

QList<SystemCheckRow *> SystemCheckView::rows(const QString &sectionTitle) const
{
    for (const auto &section : m_sections) {
        if (section.first->text() == sectionTitle)
            return section.second;
    }
    return {};
}

} // namespace trellium
