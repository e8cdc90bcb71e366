#pragma once

#include "platform/instance/InstanceChannel.h"
#include "platform/instance/InstanceLock.h"

#include <QStringList>

#include <chrono>
#include <memory>

namespace trellium {

// One process per folder. A launch either becomes the folder's holder (the
// lock on the file ".instance.lock" in it) or, while another process holds
// it, hands its request to that process over its InstanceChannel. Where the
// holder listens depends on its environment, which a later launch need not
// share (another XDG_RUNTIME_DIR, or none, after su or from cron): so the
// holder records it in the folder (".instance.address"), beside the lock.
class SingleInstance {
public:
    enum class Outcome {
        holder,          // this process holds the folder now
        handedOver,      // the holder took the request
        alreadyRunning,  // another process holds the folder; there was no request
        noAnswer,        // the holder did not answer within the bound
        ending,          // the holder is ending, and had not ended by the bound
        refused,         // the holder answered with an error (message)
        unreachable,     // the holder cannot be reached (message)
        failed,          // the lock failed (message)
    };
    struct Launch {
        Outcome outcome = Outcome::failed;
        QString message;
        // The holder's lock, kept until the process ends.
        std::unique_ptr<InstanceLock> lock;
    };

    static QString lockPath(const QString &folder);
    static QString addressPath(const QString &folder);

    // Takes `bound` at most. A holder that is still starting (no address
    // recorded or not listening yet) or ending is asked again every
    // `retryPause`, and the lock is tried again each time: when the holder
    // has gone, this launch holds the folder. A holder that recorded that it
    // cannot listen, a record or an address that is not this user's alone,
    // and a socket that is gone while its holder is not ending end the
    // launch at once (unreachable). Messages hold no control characters.
    static Launch launch(const QString &folder, const QStringList &request,
                         std::chrono::milliseconds bound = std::chrono::seconds(10),
                         std::chrono::milliseconds retryPause = std::chrono::milliseconds(50));

    // The holder's side: listens on the first of the folder's socket paths
    // where it can, and records where for later launches; returns the path.
    // When it can listen nowhere it records why, so that launches say so at
    // once, and throws FileError.
    static QString serve(const QString &folder, InstanceChannel &channel, InstanceChannel::Handler handler,
                         InstanceChannel::Options options = {});
    // Records the socket a later launch is to use.
    static void recordAddress(const QString &folder, const QString &socketPath);
    // The holder's side as it ends: records that it is ending, so that a
    // launch waits for it to let go of the folder instead of reporting its
    // socket missing, and stops listening.
    static void withdraw(const QString &folder, InstanceChannel &channel);
};

} // namespace trellium
