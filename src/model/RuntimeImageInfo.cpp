#include "model/RuntimeImageInfo.h"

namespace trellium {

QJsonObject RuntimeImageInfo::toJson() const
{
    JsonWriter w(DateStyle::SecondsSince2001);
    w.set(QStringLiteral("distro"), distro);
    w.set(QStringLiteral("displayName"), displayName);
    w.set(QStringLiteral("status"), status);
    w.set(QStringLiteral("installedSizeBytes"), installedSizeBytes);
    w.set(QStringLiteral("downloadURL"), downloadURL);
    w.set(QStringLiteral("statusMessage"), statusMessage);
    return w.object();
}

RuntimeImageInfo RuntimeImageInfo::fromJson(const QJsonObject &object)
{
    const JsonReader r(object, DateStyle::SecondsSince2001, QStringLiteral("RuntimeImageInfo"));
    RuntimeImageInfo info;
    info.distro = r.string(QStringLiteral("distro"));
    info.displayName = r.string(QStringLiteral("displayName"));
    info.status = r.enumeration<RuntimeImageStatus>(QStringLiteral("status"));
    info.installedSizeBytes = r.optionalInt64(QStringLiteral("installedSizeBytes"));
    info.downloadURL = r.optionalString(QStringLiteral("downloadURL"));
    info.statusMessage = r.optionalString(QStringLiteral("statusMessage"));
    return info;
}

} // namespace trellium
