#include "model/RemoteDesktopVideoHeader.h"

namespace trellium {

QJsonObject RemoteDesktopVideoHeader::toJson() const
{
    JsonWriter w(DateStyle::SecondsSince2001);
    w.set(QStringLiteral("width"), width);
    w.set(QStringLiteral("height"), height);
    w.set(QStringLiteral("codec"), codec);
    w.set(QStringLiteral("frameIndex"), frameIndex);
    w.set(QStringLiteral("timestamp"), timestamp);
    w.set(QStringLiteral("byteCount"), byteCount);
    w.set(QStringLiteral("isKeyFrame"), isKeyFrame);
    w.set(QStringLiteral("spsBase64"), spsBase64);
    w.set(QStringLiteral("ppsBase64"), ppsBase64);
    return w.object();
}

RemoteDesktopVideoHeader RemoteDesktopVideoHeader::fromJson(const QJsonObject &object)
{
    const JsonReader r(object, DateStyle::SecondsSince2001, QStringLiteral("RemoteDesktopVideoHeader"));
    RemoteDesktopVideoHeader h;
    h.width = r.int64(QStringLiteral("width"));
    h.height = r.int64(QStringLiteral("height"));
    h.codec = r.string(QStringLiteral("codec"));
    h.frameIndex = r.int64(QStringLiteral("frameIndex"));
    h.timestamp = r.number(QStringLiteral("timestamp"));
    h.byteCount = r.int64(QStringLiteral("byteCount"));
    h.isKeyFrame = r.boolean(QStringLiteral("isKeyFrame"));
    h.spsBase64 = r.optionalString(QStringLiteral("spsBase64"));
    h.ppsBase64 = r.optionalString(QStringLiteral("ppsBase64"));
    return h;
}

} // namespace trellium
