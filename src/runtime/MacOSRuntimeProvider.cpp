#include "runtime/MacOSRuntimeProvider.h"

#include "runtime/RuntimeError.h"

namespace trellium {

QCoro::Task<void> MacOSRuntimeProvider::createRuntime(RuntimeConfig)
{
    throw RuntimeError::notImplemented();
    co_return;
}

QCoro::Task<void> MacOSRuntimeProvider::startRuntime(QUuid, RuntimeUpdateHandler)
{
    throw RuntimeError::notImplemented();
    co_return;
}

QCoro::Task<void> MacOSRuntimeProvider::stopRuntime(QUuid, RuntimeUpdateHandler)
{
    throw RuntimeError::notImplemented();
    co_return;
}

QCoro::Task<void> MacOSRuntimeProvider::deleteRuntime(QUuid)
{
    throw RuntimeError::notImplemented();
    co_return;
}

} // namespace trellium
