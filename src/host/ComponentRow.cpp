#include "host/ComponentRow.h"

#include "core/Text.h"
#include "host/ComponentStateText.h"
#include "platform/desktop/DesktopOpener.h"
#include "platform/desktop/TextStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace trellium {

namespace {

constexpr int kIconSize = 28;
// A tool's failure output can be megabytes; laying that out would stall the
// window. Its end says most.
constexpr qsizetype kShownDetailCharacters = 2000;
constexpr int kStateSymbolSize = 12;

} // namespace

ComponentRow::ComponentRow(Fields fields, DesktopOpener &opener, QWidget *parent)
    : QWidget(parent), m_fields(std::move(fields)), m_opener(opener)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(8, 10, 8, 10);
    row->setSpacing(13);

    m_icon = new QLabel(this);
    m_icon->setObjectName(QStringLiteral("icon"));
    m_icon->setFixedSize(kIconSize, kIconSize);
    m_icon->setAlignment(Qt::AlignCenter);
    row->addWidget(m_icon, 0, Qt::AlignTop);

    auto *column = new QVBoxLayout;
    column->setSpacing(5);
    row->addLayout(column, 1);

    auto *titleLine = new QHBoxLayout;
    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("title"));
    TextStyle::apply(m_title, TextStyle::Size::headline);
    titleLine->addWidget(m_title);
    titleLine->addStretch(1);
    m_stateSymbol = new QLabel(this);
    m_stateSymbol->setObjectName(QStringLiteral("stateSymbol"));
    titleLine->addWidget(m_stateSymbol);
    m_stateText = new QLabel(this);
    m_stateText->setObjectName(QStringLiteral("state"));
    TextStyle::apply(m_stateText, TextStyle::Size::caption);
    titleLine->addWidget(m_stateText);
    column->addLayout(titleLine);

    m_purpose = TextStyle::wrappingLabel({}, this);
    m_purpose->setObjectName(QStringLiteral("purpose"));
    TextStyle::apply(m_purpose, TextStyle::Size::callout);
    TextStyle::setTint(m_purpose, SymbolTint::secondary);
    column->addWidget(m_purpose);

    m_detail = TextStyle::wrappingLabel({}, this);
    m_detail->setObjectName(QStringLiteral("detail"));
    TextStyle::apply(m_detail, TextStyle::Size::caption);
    TextStyle::setTint(m_detail, SymbolTint::secondary);
    TextStyle::makeSelectable(m_detail);
    column->addWidget(m_detail);

    auto *actionLine = new QHBoxLayout;
    m_linkRow = new QHBoxLayout;
    m_linkRow->setSpacing(12);
    actionLine->addLayout(m_linkRow);
    actionLine->addStretch(1);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, 0);  // no fraction is known: a moving bar
    m_progress->setTextVisible(false);
    m_progress->setFixedSize(60, 10);
    actionLine->addWidget(m_progress);
    m_action = new QPushButton(this);
    m_action->setObjectName(QStringLiteral("action"));
    TextStyle::apply(m_action, TextStyle::Size::callout);
    connect(m_action, &QPushButton::clicked, this, [this]() {
        if (m_fields.action)
            m_fields.action();
    });
    actionLine->addWidget(m_action);
    column->addLayout(actionLine);

    rebuildLinks();
    render();
}

QString ComponentRow::shownDetail(const QString &detail)
{
    const QString tail = lastCharacters(detail, kShownDetailCharacters);
    return tail.size() == detail.size() ? detail : QStringLiteral("… ") + tail;
}

bool ComponentRow::showsAction(const Fields &fields)
{
    return fields.state.kind() != AgentComponentManager::State::Kind::installed
        || fields.actionTitle == QLatin1String("Reparieren");
}

void ComponentRow::setFields(Fields fields)
{
    const bool linksChanged = fields.links != m_fields.links;
    m_fields = std::move(fields);
    if (linksChanged)
        rebuildLinks();
    render();
}

void ComponentRow::rebuildLinks()
{
    qDeleteAll(m_linkButtons);
    m_linkButtons.clear();
    for (const Link &link : m_fields.links) {
        auto *button = new QPushButton(link.first, this);
        button->setObjectName(QStringLiteral("link"));
        button->setFlat(true);
        button->setCursor(Qt::PointingHandCursor);
        button->setToolTip(link.second.toString());
        TextStyle::apply(button, TextStyle::Size::caption);
        button->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; color: %1; text-align: left; }")
                                  .arg(SymbolIcon::color(SymbolTint::accent).name()));
        const QUrl url = link.second;
        connect(button, &QPushButton::clicked, this, [this, url]() { m_opener.openUrl(url); });
        m_linkRow->addWidget(button);
        m_linkButtons.append(button);
    }
}

void ComponentRow::render()
{
    SymbolIcon::apply(m_icon, m_fields.icon, 22, SymbolTint::accent);
    m_title->setText(m_fields.title);
    const ComponentStateText state = componentStateText(m_fields.state);
    SymbolIcon::apply(m_stateSymbol, state.symbol, kStateSymbolSize, state.tint);
    m_stateText->setText(state.text);
    TextStyle::setTint(m_stateText, state.tint);
    m_purpose->setText(m_fields.purpose);
    m_detail->setText(shownDetail(m_fields.detail));
    const bool busy = m_fields.state.isBusy();
    m_progress->setVisible(busy);
    m_action->setText(m_fields.actionTitle);
    m_action->setEnabled(!busy);
    m_action->setVisible(showsAction(m_fields));
}

} // namespace trellium
