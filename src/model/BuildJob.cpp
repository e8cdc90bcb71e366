#include "model/BuildJob.h"

namespace trellium {

QJsonObject BuildJob::toJson(DateStyle dates) const
{
    JsonWriter w(dates);
    w.set(QStringLiteral("id"), id);
    w.set(QStringLiteral("kind"), kind);
    w.set(QStringLiteral("arguments"), QJsonValue(QJsonArray::fromStringList(arguments)));
    w.set(QStringLiteral("runtimeID"), runtimeID);
    w.set(QStringLiteral("remoteDesktopQuality"), remoteDesktopQuality);
    if (remoteDesktopInputEvent)
        w.set(QStringLiteral("remoteDesktopInputEvent"), QJsonValue(remoteDesktopInputEvent->toJson()));
    return w.object();
}

BuildJob BuildJob::fromJson(const QJsonObject &object, DateStyle dates)
{
    const JsonReader r(object, dates, QStringLiteral("BuildJob"));
    BuildJob job;
    job.id = r.uuid(QStringLiteral("id"));
    job.kind = r.enumeration<BuildJobKind>(QStringLiteral("kind"));
    const QJsonValue arguments = object.value(QStringLiteral("arguments"));
    if (!arguments.isArray())
        throw r.invalid(QStringLiteral("arguments"), QStringLiteral("Liste von Texten erwartet"));
    for (const QJsonValue &argument : arguments.toArray()) {
        if (!argument.isString())
            throw r.invalid(QStringLiteral("arguments"), QStringLiteral("Liste von Texten erwartet"));
        job.arguments << argument.toString();
    }
    job.runtimeID = r.optionalUuid(QStringLiteral("runtimeID"));
    job.remoteDesktopQuality = r.optionalEnumeration<RemoteDesktopQuality>(QStringLiteral("remoteDesktopQuality"));
    if (r.has(QStringLiteral("remoteDesktopInputEvent"))) {
        const QJsonValue event = object.value(QStringLiteral("remoteDesktopInputEvent"));
        if (!event.isObject())
            throw r.invalid(QStringLiteral("remoteDesktopInputEvent"), QStringLiteral("Objekt erwartet"));
        job.remoteDesktopInputEvent = RemoteDesktopInputEvent::fromJson(event.toObject());
    }
    return job;
}

} // namespace trellium
