#include "runtime/RuntimeStore.h"

#include "core/Files.h"
#include "core/Log.h"
#include "runtime/RuntimeError.h"

#include <algorithm>

namespace trellium {

namespace {
RuntimeConfig decodeRecord(const QString &path)
{
    return RuntimeConfig::fromJson(parseJsonObject(readWholeFile(path)), DateStyle::ISO8601);
}
} // namespace

QString RuntimeStore::runtimesDirectory() const
{
    return applicationSupportRoot() + QStringLiteral("/Runtimes");
}

QString RuntimeStore::runtimeDirectory(const QUuid &id) const
{
    return runtimesDirectory() + QLatin1Char('/') + uuidText(id);
}

QString RuntimeStore::recordPath(const QUuid &id) const
{
    return runtimeDirectory(id) + QStringLiteral("/runtime.json");
}

void RuntimeStore::ensureRuntimesDirectory() const
{
    createDirectories(runtimesDirectory());
}

QList<RuntimeConfig> RuntimeStore::loadAllRuntimes() const
{
    ensureRuntimesDirectory();
    QList<RuntimeConfig> records;
    for (const QString &entry : listDirectory(runtimesDirectory())) {
        const QString path = runtimesDirectory() + QLatin1Char('/') + entry + QStringLiteral("/runtime.json");
        if (!itemExists(path))
            continue;
        try {
            records.append(decodeRecord(path));
        } catch (const std::exception &error) {
            logLine(QStringLiteral("Fehler beim Laden der Runtime Config:"), describeError(error));
        }
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const RuntimeConfig &a, const RuntimeConfig &b) { return a.createdAt < b.createdAt; });
    return records;
}

void RuntimeStore::saveRuntimeConfig(const RuntimeConfig &config) const
{
    ensureRuntimesDirectory();
    createDirectories(runtimeDirectory(config.id));
    RuntimeConfig stored = config;
    stored.updatedAt = QDateTime::currentDateTimeUtc();
    writeFileAtomically(recordPath(config.id), prettyJson(stored.toJson(DateStyle::ISO8601)));
}

QList<RuntimeConfig> RuntimeStore::recoverInterruptedRuntimes() const
{
    QList<RuntimeConfig> changed;
    for (RuntimeConfig record : loadAllRuntimes()) {
        switch (record.state) {
        case RuntimeState::starting:
        case RuntimeState::booting:
        case RuntimeState::desktopPreparing:
        case RuntimeState::running:
        case RuntimeState::stopping:
            record.state = RuntimeState::stopped;
            record.ipAddress.reset();
            saveRuntimeConfig(record);
            changed.append(record);
            break;
        case RuntimeState::created:
        case RuntimeState::stopped:
        case RuntimeState::failed:
            break;
        }
    }
    return changed;
}

void RuntimeStore::createRuntimeFolder(const QUuid &id) const
{
    ensureRuntimesDirectory();
    if (itemExists(runtimeDirectory(id)))
        throw RuntimeError::runtimeAlreadyExists(id);
    createDirectories(runtimeDirectory(id));
}

void RuntimeStore::deleteRuntimeFolder(const QUuid &id) const
{
    if (!itemExists(runtimeDirectory(id)))
        throw RuntimeError::runtimeNotFound(id);
    removeItem(runtimeDirectory(id));
}

RuntimeConfig RuntimeStore::readRuntime(const QUuid &id) const
{
    const QString path = recordPath(id);
    if (!itemExists(path))
        throw RuntimeError::runtimeNotFound(id);
    return decodeRecord(path);
}

} // namespace trellium
