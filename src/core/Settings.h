#pragma once

#include <QSettings>

#include <memory>

namespace trellium {

// The agent's user defaults, keys exactly as the agent names them, in
// $XDG_CONFIG_HOME/TRELLIUM/agent.conf. Read anew at each call.
std::unique_ptr<QSettings> userDefaults();

} // namespace trellium
