#pragma once

#include "platform/instance/InstanceLock.h"

#include <QStringList>

#include <chrono>
#include <memory>

namespace trellium {

// One process per folder. A launch either becomes the folder's holder (the
// lock on the file ".instance.lock" in it) or, while another process holds
// it, hands its request to that process over its InstanceChannel.
class SingleInstance {
public:
    enum class Outcome {
        holder,          // this process holds the folder now
        handedOver,      // the holder took the request
        alreadyRunning,  // another process holds the folder; there was no request
        noAnswer,        // the holder did not answer within the bound
        refused,         // the holder answered with an error (message)
        unreachable,     // the holder's socket failed (message)
        failed,          // the lock failed (message)
    };
    struct Launch {
        Outcome outcome = Outcome::failed;
        QString message;
        // The holder's lock, kept until the process ends.
        std::unique_ptr<InstanceLock> lock;
    };

    static QString lockPath(const QString &folder);

    // Takes `bound` at most. A holder that is still starting (not listening
    // yet) or just ending is asked again every `retryPause`, and the lock is
    // tried again each time: when the holder has gone, this launch holds the
    // folder.
    static Launch launch(const QString &folder, const QStringList &request,
                         std::chrono::milliseconds bound = std::chrono::seconds(10),
                         std::chrono::milliseconds retryPause = std::chrono::milliseconds(50));
};

} // namespace trellium
