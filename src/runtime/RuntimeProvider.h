#pragma once

#include "model/RuntimeConfig.h"

#include <qcoro/qcorotask.h>

#include <QUuid>

#include <functional>
#include <memory>

namespace trellium {

class VirtualMachine;

// Called on the main thread right after each successful save of a record.
using RuntimeUpdateHandler = std::function<void(const RuntimeConfig &)>;

// One runtime kind. Implementations run on the main thread and resume there.
// A provider destroyed while an operation waits ends that operation: it
// resumes with CancelledError and touches nothing of the provider.
class RuntimeProvider {
public:
    virtual ~RuntimeProvider() = default;

    virtual RuntimeKind kind() const = 0;
    virtual QCoro::Task<void> createRuntime(RuntimeConfig config) = 0;
    virtual QCoro::Task<void> startRuntime(QUuid id, RuntimeUpdateHandler onUpdate) = 0;
    virtual QCoro::Task<void> stopRuntime(QUuid id, RuntimeUpdateHandler onUpdate) = 0;
    virtual QCoro::Task<void> deleteRuntime(QUuid id) = 0;

    // The running machine of a runtime, when this kind keeps machines.
    virtual std::shared_ptr<VirtualMachine> virtualMachine(const QUuid &) const { return nullptr; }
};

} // namespace trellium
