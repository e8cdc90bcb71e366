#pragma once

#include <QString>

namespace trellium {

// The user's Documents folder + "TRELLIUM Projects" (the home folder + the
// same when there is no Documents folder).
QString defaultProjectRootURL();
// The user-defaults value "trellium.agent.projectRoot" (trimmed, a leading
// tilde expanded) when not empty, else the default. Read at each use.
QString projectRootURL();

} // namespace trellium
