#pragma once

#include "model/BuildJob.h"
#include "model/RuntimeConfig.h"

namespace trellium::test {

// A valid Linux runtime record as the tablet would send it.
RuntimeConfig sampleRuntime(const QString &workspacePath = QStringLiteral("/tmp"));

// One job as a line of the local connection, with a fresh id.
QByteArray jobLine(BuildJobKind kind, std::optional<QUuid> runtimeID = std::nullopt);

} // namespace trellium::test
