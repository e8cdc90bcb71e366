#include "host/SystemCheckRow.h"

#include "platform/desktop/TextStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace trellium {

QString SystemCheckRow::stateSymbol(SystemCheckState state)
{
    switch (state) {
    case SystemCheckState::passed:
        return QStringLiteral("checkmark.circle.fill");
    case SystemCheckState::warning:
        return QStringLiteral("exclamationmark.triangle.fill");
    case SystemCheckState::failed:
        return QStringLiteral("xmark.circle.fill");
    }
    return {};
}

SystemCheckRow::SystemCheckRow(SystemCheckItem item, QWidget *parent) : QWidget(parent), m_item(std::move(item))
{
    setObjectName(QStringLiteral("item-") + m_item.id.toString(QUuid::WithoutBraces));
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 4, 0, 4);
    row->setSpacing(10);

    // The symbols take the list's text colour; the shape tells the state.
    auto *symbol = new QLabel(this);
    symbol->setObjectName(QStringLiteral("symbol"));
    symbol->setFixedWidth(20);
    symbol->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    SymbolIcon::apply(symbol, stateSymbol(m_item.state), 16, SymbolTint::primary);
    row->addWidget(symbol, 0, Qt::AlignTop);

    auto *column = new QVBoxLayout;
    column->setSpacing(3);
    auto *title = new QLabel(m_item.title, this);
    title->setObjectName(QStringLiteral("title"));
    TextStyle::apply(title, TextStyle::Size::headline);
    column->addWidget(title);
    auto *detail = TextStyle::wrappingLabel(m_item.detail, this);
    detail->setObjectName(QStringLiteral("detail"));
    TextStyle::apply(detail, TextStyle::Size::caption);
    TextStyle::setTint(detail, SymbolTint::secondary);
    TextStyle::makeSelectable(detail);
    column->addWidget(detail);
    row->addLayout(column, 1);
}

} // namespace trellium
