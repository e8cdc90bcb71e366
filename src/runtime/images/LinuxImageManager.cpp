#include "runtime/images/LinuxImageManager.h"

#include "core/Async.h"
#include "core/Files.h"
#include "platform/vm/EFIVariableStore.h"

namespace trellium {

QJsonObject LinuxImageManager::SourceManifest::toJson() const
{
    JsonWriter w(DateStyle::SecondsSince2001);
    w.set(QStringLiteral("schemaVersion"), schemaVersion);
    w.set(QStringLiteral("distro"), distro);
    w.set(QStringLiteral("downloadURL"), downloadURL);
    w.set(QStringLiteral("createdAt"), createdAt);
    return w.object();
}

LinuxImageManager::SourceManifest LinuxImageManager::SourceManifest::fromJson(const QJsonObject &object)
{
    const JsonReader r(object, DateStyle::SecondsSince2001, QStringLiteral("SourceManifest"));
    SourceManifest m;
    m.schemaVersion = r.int64(QStringLiteral("schemaVersion"));
    m.distro = r.string(QStringLiteral("distro"));
    m.downloadURL = r.string(QStringLiteral("downloadURL"));
    m.createdAt = r.date(QStringLiteral("createdAt"));
    return m;
}

QJsonObject LinuxImageManager::TemplateManifest::toJson() const
{
    JsonWriter w(DateStyle::SecondsSince2001);
    w.set(QStringLiteral("schemaVersion"), schemaVersion);
    w.set(QStringLiteral("distro"), distro);
    w.set(QStringLiteral("createdAt"), createdAt);
    return w.object();
}

LinuxImageManager::TemplateManifest LinuxImageManager::TemplateManifest::fromJson(const QJsonObject &object)
{
    const JsonReader r(object, DateStyle::SecondsSince2001, QStringLiteral("TemplateManifest"));
    TemplateManifest m;
    m.schemaVersion = r.int64(QStringLiteral("schemaVersion"));
    m.distro = r.string(QStringLiteral("distro"));
    m.createdAt = r.date(QStringLiteral("createdAt"));
    return m;
}

LinuxImageManager::LinuxImageManager(LinuxDiskManager diskManager) : m_diskManager(std::move(diskManager)) {}

QList<LinuxImageSource> LinuxImageManager::imageSources()
{
    return {
        {QStringLiteral("ubuntu-24.04-amd64"),
         QStringLiteral("Ubuntu 24.04"),
         {QUrl(QStringLiteral("https://cloud-images.ubuntu.com/noble/current/noble-server-cloudimg-amd64.img")),
          QUrl(QStringLiteral("https://cloud-images.ubuntu.com/releases/noble/release/"
                              "ubuntu-24.04-server-cloudimg-amd64.img"))},
         LinuxImageFormat::qcow2},
        {QStringLiteral("rocky-9-amd64"),
         QStringLiteral("Rocky Linux 9"),
         {QUrl(QStringLiteral("https://dl.rockylinux.org/pub/rocky/9/images/x86_64/"
                              "Rocky-9-GenericCloud-Base.latest.x86_64.qcow2")),
          QUrl(QStringLiteral("https://download.rockylinux.org/pub/rocky/9/images/x86_64/"
                              "Rocky-9-GenericCloud-Base.latest.x86_64.qcow2"))},
         LinuxImageFormat::qcow2},
        {QStringLiteral("archlinux-x86_64"),
         QStringLiteral("Arch Linux"),
         {QUrl(QStringLiteral("https://geo.mirror.pkgbuild.com/images/latest/Arch-Linux-x86_64-cloudimg.qcow2")),
          QUrl(QStringLiteral("https://mirror.pkgbuild.com/images/latest/Arch-Linux-x86_64-cloudimg.qcow2"))},
         LinuxImageFormat::qcow2},
    };
}

std::optional<LinuxImageSource> LinuxImageManager::imageSource(const QString &distro)
{
    for (const LinuxImageSource &source : imageSources()) {
        if (source.distro == distro)
            return source;
    }
    return std::nullopt;
}

QString LinuxImageManager::baseImageDirectory(const QString &distro) const
{
    return m_diskManager.baseImagesDirectory() + QLatin1Char('/') + distro;
}

bool LinuxImageManager::isSourceImageReady(const QString &distro, const QList<QUrl> &downloadURLs) const
{
    const QString folder = baseImageDirectory(distro);
    if (!itemExists(folder + QStringLiteral("/source.img")))
        return false;
    try {
        const auto manifest =
            SourceManifest::fromJson(parseJsonObject(readWholeFile(folder + QStringLiteral("/source.json"))));
        if (manifest.schemaVersion != kSourceSchemaVersion || manifest.distro != distro)
            return false;
        for (const QUrl &url : downloadURLs) {
            if (url.toString() == manifest.downloadURL)
                return true;
        }
        return false;
    } catch (const std::exception &) {
        return false;
    }
}

bool LinuxImageManager::isTemplateReady(const QString &distro) const
{
    const QString folder = baseImageDirectory(distro);
    if (!itemExists(folder + QStringLiteral("/disk.img")))
        return false;
    try {
        const auto manifest =
            TemplateManifest::fromJson(parseJsonObject(readWholeFile(folder + QStringLiteral("/template.json"))));
        return manifest.schemaVersion >= 1 && manifest.schemaVersion <= kTemplateSchemaVersion
            && manifest.distro == distro;
    } catch (const std::exception &) {
        return false;
    }
}

void LinuxImageManager::writeSourceManifest(const QString &distro, const QUrl &downloadURL) const
{
    const SourceManifest manifest{kSourceSchemaVersion, distro, downloadURL.toString(),
                                  QDateTime::currentDateTimeUtc()};
    writeFileAtomically(baseImageDirectory(distro) + QStringLiteral("/source.json"), compactJson(manifest.toJson()));
}

void LinuxImageManager::writeTemplateManifest(const QString &distro) const
{
    const TemplateManifest manifest{kTemplateSchemaVersion, distro, QDateTime::currentDateTimeUtc()};
    writeFileAtomically(baseImageDirectory(distro) + QStringLiteral("/template.json"),
                        compactJson(manifest.toJson()));
}

QCoro::Task<void> LinuxImageManager::copyBaseImage(QString distro, QUuid runtimeID) const
{
    const QString base = baseImageDirectory(distro);
    const QString runtime = m_diskManager.runtimeDirectory(runtimeID);
    const QString sourceDisk = base + QStringLiteral("/disk.img");
    // Nothing at the target is touched unless there is something to copy.
    if (!itemExists(sourceDisk))
        throw FileError(QStringLiteral("Kopieren"), sourceDisk, QStringLiteral("nicht gefunden"));

    auto copyReplacing = [](QString source, QString target) {
        if (isDirectory(target))
            removeItem(target);
        copyFileSparse(source, target);
    };
    auto copyDisk = [=]() { copyReplacing(sourceDisk, runtime + QStringLiteral("/disk.img")); };
    co_await runOnWorker(copyDisk);

    const QString sourceStore = base + QStringLiteral("/efi-variable-store");
    if (itemExists(sourceStore)) {
        auto copyStore = [=]() { copyReplacing(sourceStore, runtime + QStringLiteral("/efi-variable-store")); };
        co_await runOnWorker(copyStore);
    }
}

void LinuxImageManager::createEFIVariableStore(const QString &path)
{
    EFIVariableStore::create(path);
}

} // namespace trellium
