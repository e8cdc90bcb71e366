#pragma once

#include "host/AgentComponentArtifact.h"

#include <QDateTime>

namespace trellium {

// The receipt written as receipt.json beside an installed component.
struct InstalledAgentComponent {
    QString id;
    QString version;
    AgentComponentArchitecture architecture = AgentComponentArchitecture::x86_64;
    QDateTime installedAt;
    QUrl sourceURL;
    QString sha256;

    bool operator==(const InstalledAgentComponent &) const = default;

    QJsonObject toJson() const;
    static InstalledAgentComponent fromJson(const QJsonObject &object);

    // receipt.json's bytes: indented, keys sorted, dates as whole-second UTC
    // ISO-8601 texts, and every "/" inside a text escaped as "\/".
    QByteArray encodeReceipt() const;
    // Throws DecodingError for anything but a complete receipt.
    static InstalledAgentComponent decodeReceipt(const QByteArray &bytes);
};

} // namespace trellium
