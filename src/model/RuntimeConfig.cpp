#include "model/RuntimeConfig.h"

namespace trellium {

QJsonObject RuntimeConfig::toJson(DateStyle dates) const
{
    JsonWriter w(dates);
    w.set(QStringLiteral("id"), id);
    w.set(QStringLiteral("name"), name);
    w.set(QStringLiteral("kind"), kind);
    w.set(QStringLiteral("state"), state);
    w.set(QStringLiteral("cpuCount"), cpuCount);
    w.set(QStringLiteral("memoryGB"), memoryGB);
    w.set(QStringLiteral("diskGB"), diskGB);
    w.set(QStringLiteral("workspacePath"), workspacePath);
    w.set(QStringLiteral("workspaceID"), workspaceID);
    w.set(QStringLiteral("workspaceName"), workspaceName);
    w.set(QStringLiteral("mirrorID"), mirrorID);
    w.set(QStringLiteral("mountName"), mountName);
    w.set(QStringLiteral("distro"), distro);
    w.set(QStringLiteral("hostname"), hostname);
    w.set(QStringLiteral("username"), username);
    w.set(QStringLiteral("ipAddress"), ipAddress);
    w.set(QStringLiteral("macAddress"), macAddress);
    w.set(QStringLiteral("createdAt"), createdAt);
    w.set(QStringLiteral("updatedAt"), updatedAt);
    w.set(QStringLiteral("initialStartCompletedAt"), initialStartCompletedAt);
    w.set(QStringLiteral("includeAssets"), includeAssets);
    w.set(QStringLiteral("desktopEnvironment"), desktopEnvironment);
    w.set(QStringLiteral("displayWidth"), displayWidth);
    w.set(QStringLiteral("displayHeight"), displayHeight);
    return w.object();
}

RuntimeConfig RuntimeConfig::fromJson(const QJsonObject &object, DateStyle dates)
{
    const JsonReader r(object, dates, QStringLiteral("RuntimeConfig"));
    RuntimeConfig c;
    c.id = r.uuid(QStringLiteral("id"));
    c.name = r.string(QStringLiteral("name"));
    c.kind = r.enumeration<RuntimeKind>(QStringLiteral("kind"));
    c.state = r.enumeration<RuntimeState>(QStringLiteral("state"));
    c.cpuCount = r.int64(QStringLiteral("cpuCount"));
    c.memoryGB = r.int64(QStringLiteral("memoryGB"));
    c.diskGB = r.int64(QStringLiteral("diskGB"));
    c.workspacePath = r.string(QStringLiteral("workspacePath"));
    c.workspaceID = r.optionalUuid(QStringLiteral("workspaceID"));
    c.workspaceName = r.optionalString(QStringLiteral("workspaceName"));
    c.mirrorID = r.optionalUuid(QStringLiteral("mirrorID"));
    c.mountName = r.string(QStringLiteral("mountName"));
    c.distro = r.string(QStringLiteral("distro"));
    c.hostname = r.string(QStringLiteral("hostname"));
    c.username = r.string(QStringLiteral("username"));
    c.ipAddress = r.optionalString(QStringLiteral("ipAddress"));
    c.macAddress = r.optionalString(QStringLiteral("macAddress"));
    c.createdAt = r.date(QStringLiteral("createdAt"));
    c.updatedAt = r.date(QStringLiteral("updatedAt"));
    c.initialStartCompletedAt = r.optionalDate(QStringLiteral("initialStartCompletedAt"));
    c.includeAssets = r.boolean(QStringLiteral("includeAssets"));
    c.desktopEnvironment = r.string(QStringLiteral("desktopEnvironment"));
    c.displayWidth = r.optionalInt64(QStringLiteral("displayWidth"));
    c.displayHeight = r.optionalInt64(QStringLiteral("displayHeight"));
    return c;
}

} // namespace trellium
