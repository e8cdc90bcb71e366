#pragma once

#include <QList>
#include <QString>
#include <QUrl>

namespace trellium {

// On-disk format of a downloaded image: a raw disk is moved into place, a
// qcow2 image converted to raw.
enum class LinuxImageFormat { raw, qcow2 };

// One downloadable distribution: the same image on several servers.
struct LinuxImageSource {
    QString distro;
    QString displayName;
    QList<QUrl> downloadURLs;
    LinuxImageFormat format = LinuxImageFormat::qcow2;

    bool operator==(const LinuxImageSource &) const = default;

    // Named after the first URL even when the image came from another one.
    QString downloadFileName() const;
};

} // namespace trellium
