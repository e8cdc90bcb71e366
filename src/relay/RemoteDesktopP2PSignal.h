#pragma once

#include "core/Json.h"
#include "model/RemoteDesktopQuality.h"

#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>

namespace trellium {

enum class RemoteDesktopP2PSignalKind { offer, answer, iceCandidate, endOfCandidates, cancel };
template<>
struct EnumNames<RemoteDesktopP2PSignalKind> {
    static constexpr std::array<const char *, 5> names{"offer", "answer", "iceCandidate", "endOfCandidates", "cancel"};
};

// One peer-to-peer signal as it travels (sealed) over the relay between the
// tablet and the agent's WebRTC session.
struct RemoteDesktopP2PSignal {
    QUuid sessionID;
    RemoteDesktopP2PSignalKind kind = RemoteDesktopP2PSignalKind::offer;
    std::optional<QString> sdp;
    std::optional<QString> candidate;
    std::optional<QString> sdpMid;
    std::optional<int64_t> sdpMLineIndex;
    std::optional<QUuid> runtimeID;
    std::optional<int64_t> width;
    std::optional<int64_t> height;
    std::optional<RemoteDesktopQuality> quality;

    bool operator==(const RemoteDesktopP2PSignal &) const = default;

    QJsonObject toJson() const;
    // Throws DecodingError for a missing or mistyped required key or an
    // unknown kind or quality.
    static RemoteDesktopP2PSignal fromJson(const QJsonObject &object);
};

} // namespace trellium
