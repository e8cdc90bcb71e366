#include "support/XvfbDisplay.h"

#include <csignal>
#include <sys/prctl.h>

namespace trellium::test {

XvfbDisplay::XvfbDisplay(QSize size) : m_previousDisplay(qgetenv("DISPLAY"))
{
    m_server.setStandardInputFile(QProcess::nullDevice());
    // Gone with the test, however it ends.
    m_server.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_server.start(QStringLiteral("/usr/bin/Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                    QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height()), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")});
    // The number comes once Xvfb accepts clients.
    QByteArray number;
    while (!number.contains('\n') && m_server.waitForReadyRead(30000))
        number += m_server.readAllStandardOutput();
    if (!number.contains('\n'))
        return;
    const QByteArray display = ':' + number.trimmed();
    qputenv("DISPLAY", display);
    m_painter = xcb_connect(display.constData(), nullptr);
    if (xcb_connection_has_error(m_painter)) {
        xcb_disconnect(m_painter);
        m_painter = nullptr;
        return;
    }
    m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_painter)).data;
    m_gc = xcb_generate_id(m_painter);
    xcb_create_gc(m_painter, m_gc, m_screen->root, 0, nullptr);
}

XvfbDisplay::~XvfbDisplay()
{
    if (m_painter)
        xcb_disconnect(m_painter);
    qputenv("DISPLAY", m_previousDisplay);
    m_server.terminate();
    m_server.waitForFinished();
}

} // namespace trellium::test
