#include "platform/desktop/SymbolIcon.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace trellium {

namespace {

// Every symbol is drawn on a 24 by 24 grid.
constexpr qreal kGrid = 24.0;

void disc(QPainter &p, const QColor &color)
{
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QRectF(1.5, 1.5, 21, 21));
}

QPen stroke(const QColor &color, qreal width = 2.0)
{
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

void hammer(QPainter &p, const QColor &color, qreal scale, QPointF centre)
{
    p.save();
    p.translate(centre);
    p.scale(scale, scale);
    p.rotate(-45);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(QRectF(-1.2, -2, 2.4, 12), 1, 1);   // handle
    p.drawRoundedRect(QRectF(-6, -6.5, 12, 4.5), 1.2, 1.2);  // head
    p.restore();
}

void draw(QPainter &p, const QString &name, const QColor &color)
{
    const QColor inner = Qt::white;
    if (name == QLatin1String("checkmark.circle.fill")) {
        disc(p, color);
        p.setPen(stroke(inner, 2.4));
        p.drawPolyline(QPolygonF({QPointF(7, 12.5), QPointF(10.5, 16), QPointF(17, 8.5)}));
    } else if (name == QLatin1String("xmark.circle.fill")) {
        disc(p, color);
        p.setPen(stroke(inner, 2.4));
        p.drawLine(QPointF(8, 8), QPointF(16, 16));
        p.drawLine(QPointF(16, 8), QPointF(8, 16));
    } else if (name == QLatin1String("link.circle.fill")) {
        disc(p, color);
        p.setPen(stroke(inner, 2));
        p.setBrush(Qt::NoBrush);
        p.save();
        p.translate(12, 12);
        p.rotate(-45);
        p.drawRoundedRect(QRectF(-7.5, -2.5, 8, 5), 2.5, 2.5);
        p.drawRoundedRect(QRectF(-0.5, -2.5, 8, 5), 2.5, 2.5);
        p.restore();
    } else if (name == QLatin1String("hammer.circle.fill")) {
        disc(p, color);
        hammer(p, inner, 0.8, QPointF(12.5, 11.5));
    } else if (name == QLatin1String("hammer.circle")) {
        p.setPen(stroke(color, 1.8));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(2, 2, 20, 20));
        hammer(p, color, 0.75, QPointF(12.5, 11.5));
    } else if (name == QLatin1String("hammer")) {
        hammer(p, color, 1.2, QPointF(12.5, 11));
    } else if (name == QLatin1String("exclamationmark.triangle.fill")) {
        QPainterPath triangle;
        triangle.moveTo(12, 2);
        triangle.lineTo(23, 21.5);
        triangle.lineTo(1, 21.5);
        triangle.closeSubpath();
        p.setPen(stroke(color, 1.5));
        p.setBrush(color);
        p.drawPath(triangle);
        p.setPen(stroke(inner, 2.4));
        p.drawLine(QPointF(12, 8.5), QPointF(12, 14.5));
        p.drawPoint(QPointF(12, 18.3));
    } else if (name == QLatin1String("arrow.triangle.2.circlepath")) {
        p.setPen(stroke(color, 2));
        p.setBrush(Qt::NoBrush);
        const QRectF ring(4, 4, 16, 16);
        p.drawArc(ring, 30 * 16, 140 * 16);
        p.drawArc(ring, 210 * 16, 140 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawPolygon(QPolygonF({QPointF(3, 9), QPointF(8.5, 10.5), QPointF(3.5, 15)}));
        p.drawPolygon(QPolygonF({QPointF(21, 15), QPointF(15.5, 13.5), QPointF(20.5, 9)}));
    } else if (name == QLatin1String("shippingbox.fill")) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawPolygon(QPolygonF({QPointF(12, 2), QPointF(21.5, 6.5), QPointF(12, 11), QPointF(2.5, 6.5)}));
        p.setBrush(color.darker(115));
        p.drawPolygon(QPolygonF({QPointF(2.5, 8), QPointF(11.2, 12.3), QPointF(11.2, 22.5), QPointF(2.5, 18)}));
        p.setBrush(color.darker(130));
        p.drawPolygon(QPolygonF({QPointF(21.5, 8), QPointF(12.8, 12.3), QPointF(12.8, 22.5), QPointF(21.5, 18)}));
    } else if (name == QLatin1String("cube.transparent")) {
        p.setPen(stroke(color, 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawPolygon(QPolygonF({QPointF(12, 2.5), QPointF(21, 7), QPointF(21, 17), QPointF(12, 21.5), QPointF(3, 17),
                                 QPointF(3, 7)}));
        p.drawPolyline(QPolygonF({QPointF(3, 7), QPointF(12, 11.5), QPointF(21, 7)}));
        p.drawLine(QPointF(12, 11.5), QPointF(12, 21.5));
    } else if (name == QLatin1String("ipad")) {
        p.setPen(stroke(color, 1.8));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(4.5, 2, 15, 20), 2.5, 2.5);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QPointF(12, 19), 1, 1);
    } else if (name == QLatin1String("lock.shield.fill")) {
        QPainterPath shield;
        shield.moveTo(12, 1.5);
        shield.lineTo(21, 5);
        shield.cubicTo(21, 14, 17, 19.5, 12, 22.5);
        shield.cubicTo(7, 19.5, 3, 14, 3, 5);
        shield.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawPath(shield);
        p.setBrush(inner);
        p.drawRoundedRect(QRectF(8.5, 11, 7, 6), 1, 1);
        p.setPen(stroke(inner, 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(9.5, 7, 5, 7), 0, 180 * 16);
    } else if (name == QLatin1String("network")) {
        p.setPen(stroke(color, 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
        p.drawEllipse(QRectF(8, 2.5, 8, 19));
        p.drawLine(QPointF(2.5, 12), QPointF(21.5, 12));
        p.drawLine(QPointF(4.5, 7), QPointF(19.5, 7));
        p.drawLine(QPointF(4.5, 17), QPointF(19.5, 17));
    } else if (name == QLatin1String("terminal")) {
        p.setPen(stroke(color, 1.8));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(2, 3.5, 20, 17), 3, 3);
        p.drawPolyline(QPolygonF({QPointF(6.5, 9), QPointF(10, 12), QPointF(6.5, 15)}));
        p.drawLine(QPointF(12, 15.5), QPointF(17, 15.5));
    } else if (name == QLatin1String("memorychip")) {
        p.setPen(stroke(color, 1.8));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(6, 6, 12, 12), 2, 2);
        for (const qreal at : {9.0, 12.0, 15.0}) {
            p.drawLine(QPointF(at, 2.5), QPointF(at, 6));
            p.drawLine(QPointF(at, 18), QPointF(at, 21.5));
            p.drawLine(QPointF(2.5, at), QPointF(6, at));
            p.drawLine(QPointF(18, at), QPointF(21.5, at));
        }
    } else if (name == QLatin1String("chevron.left.forwardslash.chevron.right")) {
        p.setPen(stroke(color, 2));
        p.drawPolyline(QPolygonF({QPointF(7, 6.5), QPointF(1.8, 12), QPointF(7, 17.5)}));
        p.drawPolyline(QPolygonF({QPointF(17, 6.5), QPointF(22.2, 12), QPointF(17, 17.5)}));
        p.drawLine(QPointF(14, 4.5), QPointF(10, 19.5));
    } else {  // "circle" and anything unknown
        p.setPen(stroke(color, 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
    }
}

} // namespace

QColor SymbolIcon::color(SymbolTint tint)
{
    switch (tint) {
    case SymbolTint::primary:
        return QApplication::palette().color(QPalette::WindowText);
    case SymbolTint::secondary:
        return QColor(0x6e, 0x6e, 0x73);
    case SymbolTint::accent:
        return QColor(0x00, 0x7a, 0xff);
    case SymbolTint::green:
        return QColor(0x28, 0xa7, 0x45);
    case SymbolTint::orange:
        return QColor(0xf0, 0x8c, 0x00);
    case SymbolTint::red:
        return QColor(0xe0, 0x2f, 0x26);
    }
    return {};
}

QString SymbolIcon::tintName(SymbolTint tint)
{
    switch (tint) {
    case SymbolTint::primary:
        return QStringLiteral("primary");
    case SymbolTint::secondary:
        return QStringLiteral("secondary");
    case SymbolTint::accent:
        return QStringLiteral("accent");
    case SymbolTint::green:
        return QStringLiteral("green");
    case SymbolTint::orange:
        return QStringLiteral("orange");
    case SymbolTint::red:
        return QStringLiteral("red");
    }
    return {};
}

QPixmap SymbolIcon::pixmap(const QString &name, int size, const QColor &color, qreal devicePixelRatio)
{
    QPixmap pixmap(QSize(size, size) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / kGrid, size / kGrid);
    draw(painter, name, color);
    return pixmap;
}

void SymbolIcon::apply(QLabel *label, const QString &name, int size, SymbolTint tint)
{
    const qreal ratio = label->devicePixelRatioF();
    label->setPixmap(pixmap(name, size, color(tint), ratio));
    label->setProperty("symbol", name);
    label->setProperty("tint", tintName(tint));
}

} // namespace trellium
