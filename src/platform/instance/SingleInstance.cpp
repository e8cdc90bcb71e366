#include "platform/instance/SingleInstance.h"

#include "core/Errors.h"
#include "platform/instance/InstanceChannel.h"

#include <thread>

namespace trellium {

QString SingleInstance::lockPath(const QString &folder)
{
    return folder + QStringLiteral("/.instance.lock");
}

SingleInstance::Launch SingleInstance::launch(const QString &folder, const QStringList &request,
                                              std::chrono::milliseconds bound, std::chrono::milliseconds retryPause)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + bound;
    for (;;) {
        try {
            if (auto lock = InstanceLock::tryAcquire(lockPath(folder)))
                return {Outcome::holder, {}, std::move(lock)};
        } catch (const std::exception &error) {
            return {Outcome::failed, describeError(error), nullptr};
        }
        if (request.isEmpty())
            return {Outcome::alreadyRunning, {}, nullptr};
        InstanceChannel::Result result;
        try {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            result = InstanceChannel::send(InstanceChannel::socketPath(folder), request,
                                           std::max(left, std::chrono::milliseconds(0)));
        } catch (const std::exception &error) {
            return {Outcome::unreachable, describeError(error), nullptr};
        }
        switch (result.delivery) {
        case InstanceChannel::Delivery::answered:
            return {Outcome::handedOver, {}, nullptr};
        case InstanceChannel::Delivery::refused:
            return {Outcome::refused, result.message, nullptr};
        case InstanceChannel::Delivery::failed:
            return {Outcome::unreachable, result.message, nullptr};
        case InstanceChannel::Delivery::noAnswer:
            return {Outcome::noAnswer, {}, nullptr};
        case InstanceChannel::Delivery::unreachable:
            break;
        }
        if (Clock::now() + retryPause >= deadline)
            return {Outcome::noAnswer, {}, nullptr};
        std::this_thread::sleep_for(retryPause);
    }
}

} // namespace trellium
