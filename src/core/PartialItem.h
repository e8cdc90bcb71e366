#pragma once

#include <QString>

namespace trellium {

// A file or folder that a running operation builds beside its final place (a
// download, a conversion, a staging folder), under a hidden name this agent
// recognises as its own: "." + the final name + ".trellium-partial-" + 16 hex
// digits. Creating one first removes the partials an earlier run left in that
// folder (those no running operation holds). It is removed when its holder
// ends without keeping it, and when the application quits: a quit ends the
// event loop, and a suspended operation never resumes to clean up. Main thread.
class PartialItem {
public:
    explicit PartialItem(const QString &finalPath);
    ~PartialItem();
    PartialItem(const PartialItem &) = delete;
    PartialItem &operator=(const PartialItem &) = delete;

    const QString &path() const { return m_path; }
    // It was moved into place: nothing left to remove.
    void keep();

    static bool isPartialName(const QString &name);
    // Removes every partial still held; runs as the application quits.
    static void removeAll();

private:
    QString m_path;
    bool m_kept = false;
};

} // namespace trellium
