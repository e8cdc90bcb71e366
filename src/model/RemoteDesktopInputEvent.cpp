#include "model/RemoteDesktopInputEvent.h"

namespace trellium {

QJsonObject RemoteDesktopInputEvent::toJson() const
{
    JsonWriter w(DateStyle::SecondsSince2001);
    w.set(QStringLiteral("kind"), kind);
    w.set(QStringLiteral("normalizedX"), normalizedX);
    w.set(QStringLiteral("normalizedY"), normalizedY);
    w.set(QStringLiteral("deltaX"), deltaX);
    w.set(QStringLiteral("deltaY"), deltaY);
    w.set(QStringLiteral("text"), text);
    w.set(QStringLiteral("keyCode"), keyCode);
    return w.object();
}

RemoteDesktopInputEvent RemoteDesktopInputEvent::fromJson(const QJsonObject &object)
{
    const JsonReader r(object, DateStyle::SecondsSince2001, QStringLiteral("RemoteDesktopInputEvent"));
    RemoteDesktopInputEvent e;
    e.kind = r.enumeration<Kind>(QStringLiteral("kind"));
    e.normalizedX = r.number(QStringLiteral("normalizedX"));
    e.normalizedY = r.number(QStringLiteral("normalizedY"));
    e.deltaX = r.optionalNumber(QStringLiteral("deltaX"));
    e.deltaY = r.optionalNumber(QStringLiteral("deltaY"));
    e.text = r.optionalString(QStringLiteral("text"));
    e.keyCode = r.optionalUInt16(QStringLiteral("keyCode"));
    return e;
}

} // namespace trellium
