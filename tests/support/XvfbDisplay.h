#pragma once

#include <QProcess>
#include <QSize>

#include <xcb/xcb.h>

namespace trellium::test {

// An Xvfb display of the test's own, on a number Xvfb picks free (DISPLAY
// points at it while alive), and an X client that paints on it.
class XvfbDisplay {
public:
    explicit XvfbDisplay(QSize size);
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay &) = delete;
    XvfbDisplay &operator=(const XvfbDisplay &) = delete;

    // Null when Xvfb did not come up.
    xcb_connection_t *painter() const { return m_painter; }
    const xcb_screen_t *screen() const { return m_screen; }
    xcb_gcontext_t gc() const { return m_gc; }

private:
    QProcess m_server;
    QByteArray m_previousDisplay;
    xcb_connection_t *m_painter = nullptr;
    const xcb_screen_t *m_screen = nullptr;
    xcb_gcontext_t m_gc = 0;
};

} // namespace trellium::test
