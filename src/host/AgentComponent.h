#pragma once

#include "host/AgentComponentArtifact.h"

#include <map>
#include <optional>

namespace trellium {

// A tool the agent installs into its own components folder, pinned to one
// version; identified by `id`.
struct AgentComponent {
    QString id;
    QString displayName;
    QString version;  // also the name of the install folder
    QString purpose;
    QString licenseName;
    QUrl licenseURL;
    QUrl sourceCodeURL;
    std::map<AgentComponentArchitecture, AgentComponentArtifact> artifacts;

    bool operator==(const AgentComponent &) const = default;

    std::optional<AgentComponentArtifact> artifact(AgentComponentArchitecture architecture) const;

    // `artifacts` travels as a list alternating the architecture's text and
    // the artifact object, since its keys are not texts.
    QJsonObject toJson() const;
    static AgentComponent fromJson(const QJsonObject &object);
};

} // namespace trellium
