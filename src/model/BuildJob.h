#pragma once

#include "core/Json.h"
#include "model/RemoteDesktopInputEvent.h"
#include "model/RemoteDesktopQuality.h"

#include <QStringList>
#include <QUuid>

#include <optional>

namespace trellium {

// The job kinds this agent serves on its local connection. A line with any
// other kind does not decode and is not answered.
enum class BuildJobKind { startRemoteDesktopVideo, stopRemoteDesktopVideo, remoteDesktopInput };
template<>
struct EnumNames<BuildJobKind> {
    static constexpr std::array<const char *, 3> names{"startRemoteDesktopVideo", "stopRemoteDesktopVideo",
                                                       "remoteDesktopInput"};
};

// The single request record from the tablet (the fields these jobs use).
struct BuildJob {
    QUuid id;
    BuildJobKind kind = BuildJobKind::stopRemoteDesktopVideo;
    QStringList arguments;
    std::optional<QUuid> runtimeID;
    std::optional<RemoteDesktopQuality> remoteDesktopQuality;
    std::optional<RemoteDesktopInputEvent> remoteDesktopInputEvent;

    bool operator==(const BuildJob &) const = default;

    QJsonObject toJson(DateStyle dates) const;
    static BuildJob fromJson(const QJsonObject &object, DateStyle dates);
};

} // namespace trellium
