#pragma once

#include "model/RuntimeConfig.h"

#include <qcoro/qcorotask.h>

#include <QUuid>

#include <functional>

namespace trellium {

// Called on the main thread right after each successful save of a record.
using RuntimeUpdateHandler = std::function<void(const RuntimeConfig &)>;

// One runtime kind. Implementations run on the main thread and resume there.
class RuntimeProvider {
public:
    virtual ~RuntimeProvider() = default;

    virtual RuntimeKind kind() const = 0;
    virtual QCoro::Task<void> createRuntime(RuntimeConfig config) = 0;
    virtual QCoro::Task<void> startRuntime(QUuid id, RuntimeUpdateHandler onUpdate) = 0;
    virtual QCoro::Task<void> stopRuntime(QUuid id, RuntimeUpdateHandler onUpdate) = 0;
    virtual QCoro::Task<void> deleteRuntime(QUuid id) = 0;
};

} // namespace trellium
