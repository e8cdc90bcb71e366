#include "relay/RemoteDesktopP2PSignal.h"

namespace trellium {

QJsonObject RemoteDesktopP2PSignal::toJson() const
{
    JsonWriter w(DateStyle::SecondsSince2001);
    w.set(QStringLiteral("sessionID"), sessionID);
    w.set(QStringLiteral("kind"), kind);
    w.set(QStringLiteral("sdp"), sdp);
    w.set(QStringLiteral("candidate"), candidate);
    w.set(QStringLiteral("sdpMid"), sdpMid);
    w.set(QStringLiteral("sdpMLineIndex"), sdpMLineIndex);
    w.set(QStringLiteral("runtimeID"), runtimeID);
    w.set(QStringLiteral("width"), width);
    w.set(QStringLiteral("height"), height);
    w.set(QStringLiteral("quality"), quality);
    return w.object();
}

RemoteDesktopP2PSignal RemoteDesktopP2PSignal::fromJson(const QJsonObject &object)
{
    const JsonReader r(object, DateStyle::SecondsSince2001, QStringLiteral("RemoteDesktopP2PSignal"));
    RemoteDesktopP2PSignal s;
    s.sessionID = r.uuid(QStringLiteral("sessionID"));
    s.kind = r.enumeration<RemoteDesktopP2PSignalKind>(QStringLiteral("kind"));
    s.sdp = r.optionalString(QStringLiteral("sdp"));
    s.candidate = r.optionalString(QStringLiteral("candidate"));
    s.sdpMid = r.optionalString(QStringLiteral("sdpMid"));
    s.sdpMLineIndex = r.optionalInt64(QStringLiteral("sdpMLineIndex"));
    s.runtimeID = r.optionalUuid(QStringLiteral("runtimeID"));
    s.width = r.optionalInt64(QStringLiteral("width"));
    s.height = r.optionalInt64(QStringLiteral("height"));
    s.quality = r.optionalEnumeration<RemoteDesktopQuality>(QStringLiteral("quality"));
    return s;
}

} // namespace trellium
