#include "host/AgentLatestManifest.h"

#include "core/Json.h"

namespace trellium {

AgentLatestManifest AgentLatestManifest::fromJson(const QByteArray &bytes)
{
    const JsonReader reader(parseJsonObject(bytes), DateStyle::ISO8601, QStringLiteral("AgentLatestManifest"));
    AgentLatestManifest manifest;
    manifest.platform = reader.string(QStringLiteral("platform"));
    manifest.product = reader.string(QStringLiteral("product"));
    manifest.version = reader.string(QStringLiteral("version"));
    manifest.build = reader.int64(QStringLiteral("build"));
    manifest.channel = reader.string(QStringLiteral("channel"));
    const QString url = reader.string(QStringLiteral("url"));
    manifest.url = QUrl(url, QUrl::StrictMode);
    if (url.isEmpty() || !manifest.url.isValid())
        throw reader.invalid(QStringLiteral("url"), QStringLiteral("keine gültige URL"));
    manifest.sha256 = reader.string(QStringLiteral("sha256"));
    manifest.releaseNotes = reader.string(QStringLiteral("releaseNotes"));
    manifest.publishedAt = reader.date(QStringLiteral("publishedAt"));
    manifest.minSupportedVersion = reader.optionalString(QStringLiteral("minSupportedVersion"));
    return manifest;
}

} // namespace trellium
