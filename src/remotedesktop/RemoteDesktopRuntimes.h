#pragma once

#include "model/RuntimeConfig.h"
#include "platform/vm/VirtualMachine.h"

#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

namespace trellium {

// What the remote desktop needs of the runtimes, handed in by the agent
// (from its runtime manager), so that this folder does not depend on them.
struct RemoteDesktopRuntimes {
    // The running machine of a runtime, or null.
    std::function<std::shared_ptr<VirtualMachine>(const QUuid &runtimeID)> virtualMachine;
    // The runtime's record as stored; none when it is missing or unreadable.
    std::function<std::optional<RuntimeConfig>(const QUuid &runtimeID)> readRecord;
};

} // namespace trellium
