#include "runtime/RuntimeManager.h"

#include "core/Files.h"
#include "runtime/MacOSRuntimeProvider.h"
#include "runtime/RuntimeConfigValidator.h"
#include "runtime/RuntimeError.h"
#include "runtime/linux/LinuxRuntimeProvider.h"

namespace trellium {

RuntimeManager::RuntimeManager()
{
    registerProvider(std::make_shared<LinuxRuntimeProvider>(m_store));
    registerProvider(std::make_shared<MacOSRuntimeProvider>());
}

void RuntimeManager::registerProvider(std::shared_ptr<RuntimeProvider> provider)
{
    const RuntimeKind kind = provider->kind();
    m_providers[kind] = std::move(provider);
}

std::shared_ptr<RuntimeProvider> RuntimeManager::provider(RuntimeKind kind) const
{
    const auto it = m_providers.find(kind);
    return it == m_providers.end() ? nullptr : it->second;
}

std::shared_ptr<RuntimeProvider> RuntimeManager::requireProvider(RuntimeKind kind) const
{
    auto found = provider(kind);
    if (!found)
        throw RuntimeError::unsupportedRuntime(kind);
    return found;
}

QCoro::Task<RuntimeConfig> RuntimeManager::createRuntime(RuntimeConfig config)
{
    if (!itemExists(config.workspacePath))
        throw RuntimeError::invalidWorkspacePath(config.workspacePath);
    RuntimeConfigValidator::validateForCreation(config);
    const Lifetime::Guard alive = m_lifetime.guard();
    // Not held here: the provider ends its work when this manager goes.
    RuntimeProvider *chosen = requireProvider(config.kind).get();
    const QUuid id = config.id;
    co_await chosen->createRuntime(std::move(config));
    alive.requireAlive();
    co_return m_store.readRuntime(id);
}

QCoro::Task<RuntimeConfig> RuntimeManager::startRuntime(QUuid id, RuntimeKind kind, RuntimeUpdateHandler onUpdate)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    RuntimeProvider *chosen = requireProvider(kind).get();
    co_await chosen->startRuntime(id, std::move(onUpdate));
    alive.requireAlive();
    co_return m_store.readRuntime(id);
}

QCoro::Task<RuntimeConfig> RuntimeManager::stopRuntime(QUuid id, RuntimeKind kind, RuntimeUpdateHandler onUpdate)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    RuntimeProvider *chosen = requireProvider(kind).get();
    co_await chosen->stopRuntime(id, std::move(onUpdate));
    alive.requireAlive();
    co_return m_store.readRuntime(id);
}

QCoro::Task<void> RuntimeManager::deleteRuntime(QUuid id, RuntimeKind kind)
{
    auto chosen = requireProvider(kind);
    co_await chosen->deleteRuntime(id);
}

void RuntimeManager::setWorkspaceMirror(const QUuid &runtimeID, const QString &workspacePath, const QUuid &mirrorID)
{
    RuntimeConfig record = m_store.readRuntime(runtimeID);
    record.workspacePath = workspacePath;
    record.mirrorID = mirrorID;
    m_store.saveRuntimeConfig(record);
}

void RuntimeManager::setWorkspace(const QUuid &runtimeID, const std::optional<QUuid> &workspaceID,
                                  const std::optional<QString> &workspaceName)
{
    RuntimeConfig record = m_store.readRuntime(runtimeID);
    record.workspaceID = workspaceID;
    record.workspaceName = workspaceName;
    m_store.saveRuntimeConfig(record);
}

RuntimeConfig RuntimeManager::renameRuntime(const QUuid &runtimeID, const QString &name)
{
    const auto trimmed = RuntimeConfigValidator::normalizedName(name);
    if (!trimmed)
        throw RuntimeError::invalidName();
    RuntimeConfig record = m_store.readRuntime(runtimeID);
    record.name = *trimmed;
    m_store.saveRuntimeConfig(record);
    return m_store.readRuntime(runtimeID);
}

std::shared_ptr<VirtualMachine> RuntimeManager::virtualMachine(const QUuid &runtimeID) const
{
    const auto linuxProvider = provider(RuntimeKind::linux);
    return linuxProvider ? linuxProvider->virtualMachine(runtimeID) : nullptr;
}

} // namespace trellium
