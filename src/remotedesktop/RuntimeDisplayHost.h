#pragma once

#include "platform/display/VncFramebufferConverter.h"
#include "platform/display/VncFramebufferMirror.h"
#include "platform/video/PixelBuffer.h"
#include "platform/video/VideoFrameSource.h"
#include "platform/vm/VirtualMachine.h"

#include <QImage>
#include <QString>
#include <QUuid>

#include <chrono>
#include <map>
#include <memory>
#include <optional>

namespace trellium {

// A runtime's screen as the host holds it: the machine (weakly: the runtime
// provider owns it), the size it was attached with, and the live mirror of
// the machine's VNC screen (none when the machine has no VNC socket).
struct RuntimeDisplayView {
    QUuid runtimeID;
    std::weak_ptr<VirtualMachine> machine;
    int width = 0;
    int height = 0;
    QString socketPath;
    std::unique_ptr<VncFramebufferMirror> mirror;
    std::chrono::steady_clock::time_point attachedAt;
};

// Gives every running runtime a display that can be snapshotted for the
// remote desktop. Main thread only; one shared instance.
class RuntimeDisplayHost {
public:
    struct Options {
        // A mirror whose connection failed or ended is replaced by the next
        // attach, but not sooner than this after it was made: the remote
        // desktop attaches once per frame.
        std::chrono::milliseconds rebindDelay = std::chrono::seconds(2);
        VncFramebufferMirror::Options mirror;
    };

    static RuntimeDisplayHost &shared();
    explicit RuntimeDisplayHost(Options options);
    RuntimeDisplayHost() : RuntimeDisplayHost(Options{}) {}
    ~RuntimeDisplayHost();
    RuntimeDisplayHost(const RuntimeDisplayHost &) = delete;
    RuntimeDisplayHost &operator=(const RuntimeDisplayHost &) = delete;

    // The runtime's view; an attached runtime keeps its view and size. The
    // view is made anew (so a restarted runtime never shows a frozen
    // picture) when the machine instance or its VNC socket changed, or the
    // mirror's connection ended. The pointer stays valid until detach or
    // such a rebind.
    RuntimeDisplayView *attach(const QUuid &runtimeID, std::shared_ptr<VirtualMachine> machine, int width, int height);
    // Ends the runtime's mirror; an unknown runtime changes nothing.
    void detach(const QUuid &runtimeID);
    // Whether attach with this machine would keep the runtime's view as it
    // is (false when there is none or it would be made anew).
    bool hasCurrentView(const QUuid &runtimeID, const std::shared_ptr<VirtualMachine> &machine) const;

    // The runtime's screen as exactly width x height BGRx pixels, each
    // direction scaled on its own; none without a view or a picture.
    std::optional<PixelBuffer> snapshot(const QUuid &runtimeID, int width, int height);
    // The runtime's screen as an I420 frame of width x height, converted by
    // the stream's own converter (which converts only what changed since
    // its last frame); none without a view or a picture, logged as a
    // snapshot would be.
    std::optional<VideoFrameSource::Frame> frame(const QUuid &runtimeID, VncFramebufferConverter &converter,
                                                 int width, int height);
    // Writes the screen as a PNG (atomically, parent folders created).
    // Failures are logged only.
    void saveDiagnosticSnapshot(const QUuid &runtimeID, int width, int height, const QString &filePath);
    // The view's picture at width x height; none without one.
    std::optional<QImage> render(const RuntimeDisplayView &view, int width, int height) const;

    bool isAttached(const QUuid &runtimeID) const;
    // The attached machine; null when not attached or when it is gone.
    std::shared_ptr<VirtualMachine> machine(const QUuid &runtimeID) const;
    RuntimeDisplayView *view(const QUuid &runtimeID) const;

private:
    bool isStale(const RuntimeDisplayView &view, const std::shared_ptr<VirtualMachine> &machine) const;

    Options m_options;
    std::map<QUuid, std::unique_ptr<RuntimeDisplayView>> m_views;
};

} // namespace trellium
