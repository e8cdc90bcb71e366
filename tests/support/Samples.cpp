#include "support/Samples.h"

#include <QTimeZone>

namespace trellium::test {

RuntimeConfig sampleRuntime(const QString &workspacePath)
{
    RuntimeConfig c;
    c.id = QUuid::createUuid();
    c.name = QStringLiteral("Meine Runtime");
    c.kind = RuntimeKind::linux;
    c.state = RuntimeState::created;
    c.cpuCount = 2;
    c.memoryGB = 4;
    c.diskGB = 30;
    c.workspacePath = workspacePath;
    c.mountName = QStringLiteral("workspace");
    c.distro = QStringLiteral("ubuntu-24.04-amd64");
    c.hostname = QStringLiteral("runtime1");
    c.username = QStringLiteral("trellium");
    c.createdAt = QDateTime(QDate(2025, 1, 31), QTime(9, 15, 0), QTimeZone::utc());
    c.updatedAt = c.createdAt;
    c.desktopEnvironment = QStringLiteral("xfce");
    return c;
}

QByteArray jobLine(BuildJobKind kind, std::optional<QUuid> runtimeID)
{
    BuildJob job;
    job.id = QUuid::createUuid();
    job.kind = kind;
    job.runtimeID = runtimeID;
    return compactJson(job.toJson(DateStyle::ISO8601)) + '\n';
}

} // namespace trellium::test
