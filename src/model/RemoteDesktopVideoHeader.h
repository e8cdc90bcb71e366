#pragma once

#include "core/Json.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace trellium {

// JSON header of one "RD_FRAME" frame on the local connection.
struct RemoteDesktopVideoHeader {
    int64_t width = 0;
    int64_t height = 0;
    QString codec;
    int64_t frameIndex = 0;
    double timestamp = 0;  // seconds since 1970-01-01
    int64_t byteCount = 0;
    bool isKeyFrame = false;
    std::optional<QString> spsBase64;
    std::optional<QString> ppsBase64;

    bool operator==(const RemoteDesktopVideoHeader &) const = default;

    QJsonObject toJson() const;
    static RemoteDesktopVideoHeader fromJson(const QJsonObject &object);
};

} // namespace trellium
