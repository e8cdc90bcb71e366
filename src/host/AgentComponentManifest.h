#pragma once

#include "host/AgentComponent.h"

#include <QList>

namespace trellium {

// The components the agent manages. Only the built-in value is ever used;
// nothing is loaded from a file or a server.
struct AgentComponentManifest {
    int64_t schemaVersion = 1;
    QList<AgentComponent> components;

    bool operator==(const AgentComponentManifest &) const = default;

    // Blender, then XcodeGen; built once, shared, never changed.
    static const AgentComponentManifest &builtIn();

    // The first component whose id equals `id` exactly (case-sensitive).
    std::optional<AgentComponent> component(const QString &id) const;

    QJsonObject toJson() const;
    static AgentComponentManifest fromJson(const QJsonObject &object);
};

} // namespace trellium
