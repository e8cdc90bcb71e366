#pragma once

#include <QString>

namespace trellium {

// The running agent's display version ("0.1.0"), fixed at build time.
QString agentVersion();
// The build number as compiled in, unparsed; empty when the build set none.
QString agentBuildNumberText();

} // namespace trellium
