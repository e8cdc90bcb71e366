#include "model/RemoteDesktopQuality.h"

#include <algorithm>

namespace trellium {

QSize remoteDesktopScaledSize(int64_t baseWidth, int64_t baseHeight, RemoteDesktopQuality quality)
{
    static constexpr double kFactors[] = {0.65, 0.75, 0.9};
    const double factor = kFactors[int(quality)];
    // Toward zero, then even: the encoder needs even sides.
    const auto scale = [factor](int64_t side) { return int64_t(double(side) * factor) & ~int64_t(1); };
    const int64_t width = scale(baseWidth);
    const int64_t height = scale(baseHeight);
    return QSize(int(std::clamp<int64_t>(width, -1, INT32_MAX)), int(std::clamp<int64_t>(height, -1, INT32_MAX)));
}

int64_t remoteDesktopBitrate(RemoteDesktopQuality quality)
{
    return 2'000'000 * (1 + int64_t(quality));
}

} // namespace trellium
