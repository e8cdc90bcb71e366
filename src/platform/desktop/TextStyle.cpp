#include "platform/desktop/TextStyle.h"

#include <QApplication>
#include <QLabel>

namespace trellium {

namespace {

// Sizes of the original design's text styles, relative to its body size 13.
qreal ratio(TextStyle::Size size)
{
    switch (size) {
    case TextStyle::Size::title:
        return 22.0 / 13.0;
    case TextStyle::Size::title2:
        return 17.0 / 13.0;
    case TextStyle::Size::title3:
        return 15.0 / 13.0;
    case TextStyle::Size::headline:
    case TextStyle::Size::body:
        return 1.0;
    case TextStyle::Size::callout:
        return 12.0 / 13.0;
    case TextStyle::Size::caption:
        return 10.5 / 13.0;
    }
    return 1.0;
}

} // namespace

void TextStyle::apply(QWidget *widget, Size size, bool bold)
{
    QFont font = QApplication::font();
    const qreal base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    font.setPointSizeF(base * ratio(size));
    font.setBold(bold || size == Size::headline);
    widget->setFont(font);
}

void TextStyle::setTint(QWidget *widget, SymbolTint tint)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, SymbolIcon::color(tint));
    palette.setColor(QPalette::Text, SymbolIcon::color(tint));
    widget->setPalette(palette);
    widget->setProperty("tint", SymbolIcon::tintName(tint));
}

QLabel *TextStyle::wrappingLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    label->setSizePolicy(policy);
    label->setMinimumWidth(40);
    return label;
}

void TextStyle::makeSelectable(QLabel *label)
{
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setCursor(Qt::IBeamCursor);
}

} // namespace trellium
