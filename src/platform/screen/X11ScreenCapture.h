#pragma once

#include "platform/video/PixelBuffer.h"

#include <QString>

#include <memory>
#include <optional>

namespace trellium {

// Grabs the X11 root window (the host's main display) through a shared
// memory segment and draws the cursor into it. Main thread.
class X11ScreenCapture {
public:
    X11ScreenCapture();
    ~X11ScreenCapture();

    // One picture scaled to width x height, or none with the reason in `error`
    // (no display, grab failed). Connects on first use and after a failure.
    std::optional<PixelBuffer> capture(int width, int height, QString *error);

private:
    struct Connection;
    bool connect(QString *error);

    std::unique_ptr<Connection> m_connection;
};

} // namespace trellium
