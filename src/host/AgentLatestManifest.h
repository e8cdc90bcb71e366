#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>

namespace trellium {

// The update service's description of the newest agent build.
struct AgentLatestManifest {
    QString platform;
    QString product;
    QString version;
    int64_t build = 0;
    QString channel;
    QUrl url;
    QString sha256;
    QString releaseNotes;
    QDateTime publishedAt;
    // Accepted and carried; nothing depends on it.
    std::optional<QString> minSupportedVersion;

    // One JSON object with ISO-8601 dates; unknown keys are ignored. Throws
    // DecodingError when a required key is missing or of the wrong type.
    static AgentLatestManifest fromJson(const QByteArray &bytes);

    friend bool operator==(const AgentLatestManifest &, const AgentLatestManifest &) = default;
};

} // namespace trellium
