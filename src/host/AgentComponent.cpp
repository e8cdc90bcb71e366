#include "host/AgentComponent.h"

namespace trellium {

std::optional<AgentComponentArtifact> AgentComponent::artifact(AgentComponentArchitecture architecture) const
{
    const auto it = artifacts.find(architecture);
    if (it == artifacts.end())
        return std::nullopt;
    return it->second;
}

QJsonObject AgentComponent::toJson() const
{
    QJsonArray pairs;
    for (const auto &[architecture, artifact] : artifacts) {
        pairs.append(enumName(architecture));
        pairs.append(artifact.toJson());
    }
    JsonWriter w(DateStyle::ISO8601);
    w.set(QStringLiteral("id"), id);
    w.set(QStringLiteral("displayName"), displayName);
    w.set(QStringLiteral("version"), version);
    w.set(QStringLiteral("purpose"), purpose);
    w.set(QStringLiteral("licenseName"), licenseName);
    w.set(QStringLiteral("licenseURL"), licenseURL.toString(QUrl::FullyEncoded));
    w.set(QStringLiteral("sourceCodeURL"), sourceCodeURL.toString(QUrl::FullyEncoded));
    w.set(QStringLiteral("artifacts"), QJsonValue(pairs));
    return w.object();
}

AgentComponent AgentComponent::fromJson(const QJsonObject &object)
{
    const JsonReader r(object, DateStyle::ISO8601, QStringLiteral("AgentComponent"));
    AgentComponent component;
    component.id = r.string(QStringLiteral("id"));
    component.displayName = r.string(QStringLiteral("displayName"));
    component.version = r.string(QStringLiteral("version"));
    component.purpose = r.string(QStringLiteral("purpose"));
    component.licenseName = r.string(QStringLiteral("licenseName"));
    component.licenseURL = decodeAbsoluteURL(r, QStringLiteral("licenseURL"));
    component.sourceCodeURL = decodeAbsoluteURL(r, QStringLiteral("sourceCodeURL"));

    const QString key = QStringLiteral("artifacts");
    const QJsonValue value = object.value(key);
    if (!value.isArray())
        throw r.invalid(key, QStringLiteral("keine Liste"));
    const QJsonArray pairs = value.toArray();
    if (pairs.size() % 2 != 0)
        throw r.invalid(key, QStringLiteral("ungerade Anzahl von Einträgen"));
    for (qsizetype i = 0; i < pairs.size(); i += 2) {
        const auto architecture = pairs[i].isString()
            ? enumFromName<AgentComponentArchitecture>(pairs[i].toString())
            : std::nullopt;
        if (!architecture)
            throw r.invalid(key, QStringLiteral("unbekannte Architektur an Stelle %1").arg(i));
        if (!pairs[i + 1].isObject())
            throw r.invalid(key, QStringLiteral("kein Objekt an Stelle %1").arg(i + 1));
        if (component.artifacts.count(*architecture))
            throw r.invalid(key, QStringLiteral("Architektur %1 doppelt").arg(enumName(*architecture)));
        component.artifacts.emplace(*architecture, AgentComponentArtifact::fromJson(pairs[i + 1].toObject()));
    }
    return component;
}

} // namespace trellium
