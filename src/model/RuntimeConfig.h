#pragma once

#include "core/Json.h"

#include <QDateTime>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>

namespace trellium {

// Persistent life state of a runtime.
enum class RuntimeState { created, starting, booting, desktopPreparing, running, stopping, stopped, failed };
template<>
struct EnumNames<RuntimeState> {
    static constexpr std::array<const char *, 8> names{
        "created", "starting", "booting", "desktopPreparing", "running", "stopping", "stopped", "failed"};
};

enum class RuntimeKind { linux, macOS };
template<>
struct EnumNames<RuntimeKind> {
    static constexpr std::array<const char *, 2> names{"linux", "macOS"};
};

// The record of one runtime: runtime.json, and the payload of runtime jobs
// and events. A plain value: a changed copy takes effect only when saved.
struct RuntimeConfig {
    QUuid id;
    QString name;
    RuntimeKind kind = RuntimeKind::linux;
    RuntimeState state = RuntimeState::created;
    int64_t cpuCount = 0;
    int64_t memoryGB = 0;
    int64_t diskGB = 0;
    QString workspacePath;
    std::optional<QUuid> workspaceID;
    std::optional<QString> workspaceName;
    std::optional<QUuid> mirrorID;
    QString mountName;
    QString distro;
    QString hostname;
    QString username;
    std::optional<QString> ipAddress;
    std::optional<QString> macAddress;
    QDateTime createdAt;
    QDateTime updatedAt;
    std::optional<QDateTime> initialStartCompletedAt;
    bool includeAssets = false;
    QString desktopEnvironment;
    std::optional<int64_t> displayWidth;
    std::optional<int64_t> displayHeight;

    bool operator==(const RuntimeConfig &) const = default;

    QJsonObject toJson(DateStyle dates) const;
    static RuntimeConfig fromJson(const QJsonObject &object, DateStyle dates);
};

} // namespace trellium
