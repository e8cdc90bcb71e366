#pragma once

#include "core/Json.h"
#include "runtime/images/LinuxDiskManager.h"
#include "runtime/images/LinuxImageSource.h"

#include <qcoro/qcorotask.h>

#include <QDateTime>
#include <QUuid>

#include <optional>

namespace trellium {

// Turns public cloud images into provisioned template disks from which
// runtimes are copied. This part holds the built-in sources, the base-image
// folders with their manifests, the readiness rules and the copy into a
// runtime's folder.
class LinuxImageManager {
public:
    // "source.json": where source.img came from.
    struct SourceManifest {
        int64_t schemaVersion = 1;
        QString distro;
        QString downloadURL;
        QDateTime createdAt;

        QJsonObject toJson() const;
        static SourceManifest fromJson(const QJsonObject &object);
    };

    // "template.json": the provisioned disk.img's schema.
    struct TemplateManifest {
        int64_t schemaVersion = 9;
        QString distro;
        QDateTime createdAt;

        QJsonObject toJson() const;
        static TemplateManifest fromJson(const QJsonObject &object);
    };

    static constexpr int64_t kSourceSchemaVersion = 1;
    static constexpr int64_t kTemplateSchemaVersion = 9;

    explicit LinuxImageManager(LinuxDiskManager diskManager = {});

    static QList<LinuxImageSource> imageSources();
    static std::optional<LinuxImageSource> imageSource(const QString &distro);

    QString baseImageDirectory(const QString &distro) const;
    bool isSourceImageReady(const QString &distro, const QList<QUrl> &downloadURLs) const;
    bool isTemplateReady(const QString &distro) const;
    void writeSourceManifest(const QString &distro, const QUrl &downloadURL) const;
    void writeTemplateManifest(const QString &distro) const;

    // Copies BaseImages/<distro>/disk.img (and efi-variable-store, when there)
    // into the runtime's folder, replacing what is there. The copy keeps the
    // image's holes and runs off the main thread.
    QCoro::Task<void> copyBaseImage(QString distro, QUuid runtimeID) const;

    // A new, empty EFI variable store; never overwrites an existing file.
    static void createEFIVariableStore(const QString &path);

    const LinuxDiskManager &diskManager() const { return m_diskManager; }

private:
    LinuxDiskManager m_diskManager;
};

} // namespace trellium
