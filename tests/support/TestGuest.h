#pragma once

#include "model/RuntimeConfig.h"

#include <QString>

#include <chrono>
#include <functional>

namespace trellium::test {

// The small test guest that scripts/build-test-guest builds (the test script
// builds it before ctest runs).
namespace TestGuest {

QString imagePath();
bool available(QString *whyNot);

// Sets up a runtime folder the way creation does: the guest's disk copied
// in, key pair, cloud-init seed (runtime mode) and runtime.json. The
// workspace folder must exist.
RuntimeConfig prepareRuntime(const QString &workspacePath, const QString &hostname = QStringLiteral("testguest"));

// The serial log's text (empty when missing).
QString serialLog(const RuntimeConfig &runtime, const QString &file = QStringLiteral("serial.log"));

} // namespace TestGuest

} // namespace trellium::test
