#pragma once

#include "platform/display/VncFramebufferConverter.h"
#include "platform/video/VideoFrameSource.h"
#include "remotedesktop/RemoteDesktopRuntimes.h"

#include <QUuid>

#include <cstdint>

namespace trellium {

class RuntimeDisplayHost;

// A runtime's screen as the frames of one stream: the runtime's view in the
// display host (made on demand, with the size from the runtime's record,
// which is read only then), converted by a converter of the stream's own.
// Reports changes when the view's mirror takes an update. Main thread.
class RuntimeFrameSource : public VideoFrameSource {
    Q_OBJECT
public:
    RuntimeFrameSource(QUuid runtimeID, RemoteDesktopRuntimes runtimes, RuntimeDisplayHost &host,
                       QObject *parent = nullptr);

    // Logs its own failures ("Runtime VM not found:", the display host's lines).
    std::optional<Frame> capture(int width, int height, QString *error) override;

private:
    void watchMirror();

    const QUuid m_runtimeID;
    const RemoteDesktopRuntimes m_runtimes;
    RuntimeDisplayHost &m_host;
    VncFramebufferConverter m_converter;
    uint64_t m_watchedMirror = 0;
    QMetaObject::Connection m_updates;
};

} // namespace trellium
