#pragma once

#include "core/Json.h"

#include <QString>
#include <QUrl>

#include <cstdint>

namespace trellium {

enum class AgentComponentArchitecture { arm64, x86_64 };
template<>
struct EnumNames<AgentComponentArchitecture> {
    static constexpr std::array<const char *, 2> names{"arm64", "x86_64"};
};

// The architecture this agent was built for; fixed at compile time.
AgentComponentArchitecture agentArchitecture();

// One downloadable file of a component for one processor architecture.
struct AgentComponentArtifact {
    AgentComponentArchitecture architecture = AgentComponentArchitecture::x86_64;
    QUrl downloadURL;
    QString sha256;  // 64 lower-case hex digits
    int64_t downloadSize = 0;  // shown to the user only

    bool operator==(const AgentComponentArtifact &) const = default;

    QJsonObject toJson() const;
    static AgentComponentArtifact fromJson(const QJsonObject &object);
};

// Reads a required absolute URL text; anything else throws DecodingError.
QUrl decodeAbsoluteURL(const JsonReader &reader, const QString &key);

} // namespace trellium
