#pragma once

#include "core/Json.h"

namespace trellium {

// Index 0, 1, 2 selects the remote desktop's picture scale and bitrate.
enum class RemoteDesktopQuality { eco, normal, quality };
template<>
struct EnumNames<RemoteDesktopQuality> {
    static constexpr std::array<const char *, 3> names{"eco", "normal", "quality"};
};

} // namespace trellium
