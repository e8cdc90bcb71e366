#pragma once

#include "model/RuntimeConfig.h"

namespace trellium::test {

// A valid Linux runtime record as the tablet would send it.
RuntimeConfig sampleRuntime(const QString &workspacePath = QStringLiteral("/tmp"));

} // namespace trellium::test
