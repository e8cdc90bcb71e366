#include "platform/desktop/DesktopOpener.h"

#include "core/Log.h"

#include <QDesktopServices>

namespace trellium {

DesktopOpener &DesktopOpener::standard()
{
    static SystemDesktopOpener opener;
    return opener;
}

bool SystemDesktopOpener::openUrl(const QUrl &url)
{
    const bool opened = QDesktopServices::openUrl(url);
    if (!opened)
        logLine(QStringLiteral("OPEN URL FAILED:"), url.toString());
    return opened;
}

} // namespace trellium
