#pragma once

#include "core/Json.h"

#include <QUuid>

#include <cstdint>
#include <optional>

namespace trellium {

// The event kinds this agent sends on its local connection.
enum class BuildEventKind { failed, remoteDesktopVideoFailed };
template<>
struct EnumNames<BuildEventKind> {
    static constexpr std::array<const char *, 2> names{"failed", "remoteDesktopVideoFailed"};
};

// The single answer record to the tablet.
struct BuildEvent {
    QUuid id;
    QUuid jobId;
    BuildEventKind kind = BuildEventKind::failed;
    QString message;
    std::optional<int32_t> exitCode;
    std::optional<QString> payload;

    bool operator==(const BuildEvent &) const = default;

    QJsonObject toJson(DateStyle dates) const;
    static BuildEvent fromJson(const QJsonObject &object, DateStyle dates);
};

} // namespace trellium
