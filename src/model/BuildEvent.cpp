#include "model/BuildEvent.h"

namespace trellium {

QJsonObject BuildEvent::toJson(DateStyle dates) const
{
    JsonWriter w(dates);
    w.set(QStringLiteral("id"), id);
    w.set(QStringLiteral("jobId"), jobId);
    w.set(QStringLiteral("kind"), kind);
    w.set(QStringLiteral("message"), message);
    w.set(QStringLiteral("exitCode"), exitCode);
    w.set(QStringLiteral("payload"), payload);
    return w.object();
}

BuildEvent BuildEvent::fromJson(const QJsonObject &object, DateStyle dates)
{
    const JsonReader r(object, dates, QStringLiteral("BuildEvent"));
    BuildEvent event;
    event.id = r.uuid(QStringLiteral("id"));
    event.jobId = r.uuid(QStringLiteral("jobId"));
    event.kind = r.enumeration<BuildEventKind>(QStringLiteral("kind"));
    event.message = r.string(QStringLiteral("message"));
    event.exitCode = r.optionalInt32(QStringLiteral("exitCode"));
    event.payload = r.optionalString(QStringLiteral("payload"));
    return event;
}

} // namespace trellium
