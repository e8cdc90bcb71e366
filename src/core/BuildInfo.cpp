#include "core/BuildInfo.h"

#ifndef TRELLIUM_VERSION
#define TRELLIUM_VERSION "0.0.0"
#endif
#ifndef TRELLIUM_BUILD_NUMBER
#define TRELLIUM_BUILD_NUMBER ""
#endif

namespace trellium {

QString agentVersion()
{
    return QStringLiteral(TRELLIUM_VERSION);
}

QString agentBuildNumberText()
{
    return QStringLiteral(TRELLIUM_BUILD_NUMBER);
}

} // namespace trellium
