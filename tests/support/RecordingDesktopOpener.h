#pragma once

#include "platform/desktop/DesktopOpener.h"

#include <QList>

namespace trellium::test {

// Remembers what the windows asked to open; opens nothing.
class RecordingDesktopOpener final : public DesktopOpener {
public:
    bool openUrl(const QUrl &url) override
    {
        opened.append(url);
        return true;
    }
    QList<QUrl> opened;
};

} // namespace trellium::test
