#pragma once

#include "platform/video/I420Picture.h"
#include "platform/video/I420PicturePool.h"
#include "platform/video/VideoFrameSource.h"

#include <QSocketNotifier>

#include <cstdint>
#include <memory>
#include <optional>

namespace trellium {

// The X11 root window (the host's main display) as video frames: grabbed
// through a shared memory segment, the cursor drawn in, converted to I420
// straight from the segment. X DAMAGE on the root window tells when the
// screen changed; while neither the screen nor the cursor changed, the
// previous picture is handed out again. Main thread.
class X11ScreenCapture : public VideoFrameSource {
    Q_OBJECT
public:
    explicit X11ScreenCapture(QObject *parent = nullptr);
    ~X11ScreenCapture() override;

    // Connects on first use and after a failure (no display, grab failed).
    std::optional<Frame> capture(int width, int height, QString *error) override;

    // Whether the last capture grabbed and converted the screen (false when
    // it handed out the previous picture or failed).
    bool lastCaptureGrabbed() const { return m_grabbed; }

private:
    struct Connection;
    bool connect(QString *error);
    void disconnect();
    // Takes the events xcb has read so far; `readSocket` also reads what
    // waits on the socket.
    void takeEvents(bool readSocket);

    std::unique_ptr<Connection> m_connection;
    std::unique_ptr<QSocketNotifier> m_notifier;
    // The screen changed since the last grab (or nothing was grabbed yet).
    bool m_damaged = true;
    bool m_grabbed = false;
    I420Picture m_full;
    I420PicturePool m_pool;
    std::shared_ptr<I420Picture> m_last;
    // Where and which cursor the last picture shows.
    int m_cursorX = -1;
    int m_cursorY = -1;
    uint32_t m_cursorSerial = 0;
};

} // namespace trellium
