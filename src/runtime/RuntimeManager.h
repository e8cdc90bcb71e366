#pragma once

#include "core/Lifetime.h"
#include "runtime/RuntimeProvider.h"
#include "runtime/RuntimeStore.h"

#include <map>
#include <memory>
#include <optional>

namespace trellium {

// The agent core's single entry into runtimes: dispatches to one provider per
// runtime kind and returns records as they stand on disk afterwards. Its
// providers go with it; an operation under way then ends with CancelledError.
class RuntimeManager {
public:
    // Registers the built-in providers (the macOS one always refuses).
    RuntimeManager();
    virtual ~RuntimeManager() = default;

    // Registers a provider under its own kind, replacing an earlier one.
    void registerProvider(std::shared_ptr<RuntimeProvider> provider);
    std::shared_ptr<RuntimeProvider> provider(RuntimeKind kind) const;

    QCoro::Task<RuntimeConfig> createRuntime(RuntimeConfig config);
    QCoro::Task<RuntimeConfig> startRuntime(QUuid id, RuntimeKind kind, RuntimeUpdateHandler onUpdate);
    QCoro::Task<RuntimeConfig> stopRuntime(QUuid id, RuntimeKind kind, RuntimeUpdateHandler onUpdate);
    QCoro::Task<void> deleteRuntime(QUuid id, RuntimeKind kind);

    void setWorkspaceMirror(const QUuid &runtimeID, const QString &workspacePath, const QUuid &mirrorID);
    void setWorkspace(const QUuid &runtimeID, const std::optional<QUuid> &workspaceID,
                      const std::optional<QString> &workspaceName);
    RuntimeConfig renameRuntime(const QUuid &runtimeID, const QString &name);
    // The running machine of a Linux runtime, or null.
    std::shared_ptr<VirtualMachine> virtualMachine(const QUuid &runtimeID) const;

    RuntimeStore &store() { return m_store; }

private:
    std::shared_ptr<RuntimeProvider> requireProvider(RuntimeKind kind) const;

    RuntimeStore m_store;
    std::map<RuntimeKind, std::shared_ptr<RuntimeProvider>> m_providers;
    Lifetime m_lifetime;
};

} // namespace trellium
