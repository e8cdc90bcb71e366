#include "host/AgentComponentManifest.h"

namespace trellium {

namespace {

AgentComponentArtifact artifact(AgentComponentArchitecture architecture, const char *url, const char *sha256,
                                int64_t size)
{
    return {architecture, QUrl(QString::fromLatin1(url)), QString::fromLatin1(sha256), size};
}

AgentComponentManifest makeBuiltIn()
{
    using Arch = AgentComponentArchitecture;

    AgentComponent blender;
    blender.id = QStringLiteral("blender");
    blender.displayName = QStringLiteral("Blender");
    blender.version = QStringLiteral("4.5.10");
    blender.purpose = QStringLiteral("Konvertierung von 3D-Modellen in das USDZ-Vorschauformat");
    blender.licenseName = QStringLiteral("GNU General Public License");
    blender.licenseURL = QUrl(QStringLiteral("https://www.blender.org/about/license/"));
    blender.sourceCodeURL = QUrl(QStringLiteral("https://projects.blender.org/blender/blender/src/tag/v4.5.10"));
    blender.artifacts.emplace(
        Arch::arm64,
        artifact(Arch::arm64, "https://download.blender.org/release/Blender4.5/blender-4.5.10-macos-arm64.dmg",
                 "cf3076fd531e74713f858830b558e71ffae7b26f104608c5c2cb2fc123535f16", 308252291));
    blender.artifacts.emplace(
        Arch::x86_64,
        artifact(Arch::x86_64, "https://download.blender.org/release/Blender4.5/blender-4.5.10-macos-x64.dmg",
                 "255cc3f2cfeeedd51f365b3bb68b8641d56001ab02ddb73b76ddeb41a9dd4dde", 335829975));

    AgentComponent xcodegen;
    xcodegen.id = QStringLiteral("xcodegen");
    xcodegen.displayName = QStringLiteral("XcodeGen");
    xcodegen.version = QStringLiteral("2.45.4");
    xcodegen.purpose = QStringLiteral("Erzeugung von Xcode-Projekten aus TRELLIUM-Projektvorlagen");
    xcodegen.licenseName = QStringLiteral("MIT License");
    xcodegen.licenseURL = QUrl(QStringLiteral("https://github.com/yonaskolb/XcodeGen/blob/2.45.4/LICENSE"));
    xcodegen.sourceCodeURL = QUrl(QStringLiteral("https://github.com/yonaskolb/XcodeGen/tree/2.45.4"));
    // One archive serves both architectures.
    for (const Arch architecture : {Arch::arm64, Arch::x86_64}) {
        xcodegen.artifacts.emplace(
            architecture,
            artifact(architecture, "https://github.com/yonaskolb/XcodeGen/releases/download/2.45.4/xcodegen.zip",
                     "090ec29491aad50aec10631bf6e62253fed733c50f3aab0f5ffc86bc170bdbef", 4319508));
    }

    return {1, {blender, xcodegen}};
}

} // namespace

const AgentComponentManifest &AgentComponentManifest::builtIn()
{
    static const AgentComponentManifest manifest = makeBuiltIn();
    return manifest;
}

std::optional<AgentComponent> AgentComponentManifest::component(const QString &id) const
{
    for (const AgentComponent &candidate : components) {
        if (candidate.id == id)
            return candidate;
    }
    return std::nullopt;
}

QJsonObject AgentComponentManifest::toJson() const
{
    QJsonArray list;
    for (const AgentComponent &component : components)
        list.append(component.toJson());
    JsonWriter w(DateStyle::ISO8601);
    w.set(QStringLiteral("schemaVersion"), schemaVersion);
    w.set(QStringLiteral("components"), QJsonValue(list));
    return w.object();
}

AgentComponentManifest AgentComponentManifest::fromJson(const QJsonObject &object)
{
    const JsonReader r(object, DateStyle::ISO8601, QStringLiteral("AgentComponentManifest"));
    AgentComponentManifest manifest;
    manifest.schemaVersion = r.int64(QStringLiteral("schemaVersion"));
    const QString key = QStringLiteral("components");
    if (!object.value(key).isArray())
        throw r.invalid(key, QStringLiteral("keine Liste"));
    for (const QJsonValue &entry : object.value(key).toArray()) {
        if (!entry.isObject())
            throw r.invalid(key, QStringLiteral("Eintrag ist kein Objekt"));
        manifest.components.append(AgentComponent::fromJson(entry.toObject()));
    }
    return manifest;
}

} // namespace trellium
