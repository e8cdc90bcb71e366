#pragma once

#include "core/Json.h"

#include <QSize>

#include <cstdint>

namespace trellium {

// Index 0, 1, 2 selects the remote desktop's picture scale and bitrate.
enum class RemoteDesktopQuality { eco, normal, quality };
template<>
struct EnumNames<RemoteDesktopQuality> {
    static constexpr std::array<const char *, 3> names{"eco", "normal", "quality"};
};

// A runtime display's size scaled by the quality's factor (0.65, 0.75, 0.9),
// each side toward zero and then even.
QSize remoteDesktopScaledSize(int64_t baseWidth, int64_t baseHeight, RemoteDesktopQuality quality);
// The stream's bitrate for the quality: 2,000,000 bit/s x (1 + index).
int64_t remoteDesktopBitrate(RemoteDesktopQuality quality);

} // namespace trellium
