#pragma once

#include "model/RuntimeConfig.h"

#include <QString>

namespace trellium::bench {

// A runtime folder for the test guest, set up the way creation does: disk
// copied in, key pair, cloud-init seed. Not saved to runtime.json.
RuntimeConfig prepareGuestRuntime(const QString &image, const QString &workspacePath);

} // namespace trellium::bench
