#include "host/AgentComponentArtifact.h"

namespace trellium {

AgentComponentArchitecture agentArchitecture()
{
#if defined(__aarch64__)
    return AgentComponentArchitecture::arm64;
#else
    return AgentComponentArchitecture::x86_64;
#endif
}

QUrl decodeAbsoluteURL(const JsonReader &reader, const QString &key)
{
    const QString text = reader.string(key);
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative())
        throw reader.invalid(key, QStringLiteral("keine absolute URL"));
    return url;
}

QJsonObject AgentComponentArtifact::toJson() const
{
    JsonWriter w(DateStyle::ISO8601);
    w.set(QStringLiteral("architecture"), architecture);
    w.set(QStringLiteral("downloadURL"), downloadURL.toString(QUrl::FullyEncoded));
    w.set(QStringLiteral("sha256"), sha256);
    w.set(QStringLiteral("downloadSize"), downloadSize);
    return w.object();
}

AgentComponentArtifact AgentComponentArtifact::fromJson(const QJsonObject &object)
{
    const JsonReader r(object, DateStyle::ISO8601, QStringLiteral("AgentComponentArtifact"));
    AgentComponentArtifact artifact;
    artifact.architecture = r.enumeration<AgentComponentArchitecture>(QStringLiteral("architecture"));
    artifact.downloadURL = decodeAbsoluteURL(r, QStringLiteral("downloadURL"));
    artifact.sha256 = r.string(QStringLiteral("sha256"));
    artifact.downloadSize = r.int64(QStringLiteral("downloadSize"));
    return artifact;
}

} // namespace trellium
