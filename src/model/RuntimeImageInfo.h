#pragma once

#include "core/Json.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace trellium {

enum class RuntimeImageStatus { notInstalled, preparing, downloading, converting, installed, failed };
template<>
struct EnumNames<RuntimeImageStatus> {
    static constexpr std::array<const char *, 6> names{
        "notInstalled", "preparing", "downloading", "converting", "installed", "failed"};
};

// One entry of the list of installable runtime images; `distro` is its identity.
struct RuntimeImageInfo {
    QString distro;
    QString displayName;
    RuntimeImageStatus status = RuntimeImageStatus::notInstalled;
    std::optional<int64_t> installedSizeBytes;
    std::optional<QString> downloadURL;
    std::optional<QString> statusMessage;

    bool operator==(const RuntimeImageInfo &) const = default;

    QJsonObject toJson() const;
    static RuntimeImageInfo fromJson(const QJsonObject &object);
};

} // namespace trellium
