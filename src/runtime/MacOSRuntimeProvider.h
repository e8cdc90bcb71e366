#pragma once

#include "runtime/RuntimeProvider.h"

namespace trellium {

// macOS runtimes are not offered: every operation fails with notImplemented.
class MacOSRuntimeProvider final : public RuntimeProvider {
public:
    RuntimeKind kind() const override { return RuntimeKind::macOS; }
    QCoro::Task<void> createRuntime(RuntimeConfig config) override;
    QCoro::Task<void> startRuntime(QUuid id, RuntimeUpdateHandler onUpdate) override;
    QCoro::Task<void> stopRuntime(QUuid id, RuntimeUpdateHandler onUpdate) override;
    QCoro::Task<void> deleteRuntime(QUuid id) override;
};

} // namespace trellium
