#pragma once

#include <QUrl>

namespace trellium {

// Opens web pages and files with the user's default applications; tests
// put a recording opener in its place. Main thread.
class DesktopOpener {
public:
    virtual ~DesktopOpener() = default;
    // False when no application took it.
    virtual bool openUrl(const QUrl &url) = 0;

    // The desktop's own handlers (xdg-open).
    static DesktopOpener &standard();
};

class SystemDesktopOpener final : public DesktopOpener {
public:
    bool openUrl(const QUrl &url) override;
};

} // namespace trellium
