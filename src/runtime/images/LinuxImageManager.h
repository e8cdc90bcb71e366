#pragma once

#include "core/Json.h"
#include "model/RuntimeImageInfo.h"
#include "runtime/images/LinuxDiskManager.h"
#include "runtime/images/LinuxImageDownloadDelegate.h"
#include "runtime/images/LinuxImageSource.h"

#include <qcoro/qcorotask.h>

#include <QDateTime>
#include <QUuid>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace trellium {

// Turns public cloud images into provisioned template disks from which
// runtimes are copied: the built-in sources, the base-image folders with
// their manifests, mirror probing and ranking, the download, the conversion
// to raw, the preparation pipeline and the image list. Main thread.
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

    // A server that answered the range probe well.
    struct MirrorProbe {
        QUrl url;
        double latency = 0.001;  // seconds, at least 0.001
        double bytesPerSecond = 0;
        int64_t expectedBytes = 0;  // the file's total size, > 100 MiB

        bool operator==(const MirrorProbe &) const = default;
    };

    // Boots the converted image once and leaves the provisioned template disk
    // (and the base folder's EFI store and machine identifier) behind.
    using TemplatePreparer =
        std::function<QCoro::Task<void>(QString distro, QString sourceDisk, QString templateDisk)>;
    using StatusCallback = std::function<void(RuntimeImageStatus)>;
    using ProgressCallback = LinuxImageDownloadDelegate::Progress;
    using MirrorCallback = std::function<void(const QString &label)>;

    struct Dependencies {
        // Where an executable qemu-img is, or nothing.
        std::function<std::optional<QString>()> qemuImgPath;
        TemplatePreparer prepareTemplate;
        // The source table; empty: the built-in one.
        QList<LinuxImageSource> sources;
        // Idle time-out of a probe; the whole probe is bounded by a multiple of it.
        std::chrono::milliseconds probeTimeout{20'000};
        LinuxImageDownloadDelegate::Limits downloadLimits;
        std::chrono::milliseconds conversionTimeout = std::chrono::hours(2);
    };

    static constexpr int64_t kSourceSchemaVersion = 1;
    static constexpr int64_t kTemplateSchemaVersion = 9;
    static constexpr int64_t kProbeRangeBytes = 4'194'304;
    static constexpr int64_t kMinimumProbeBody = 1'048'576;
    static constexpr int64_t kMinimumTotalBytes = 104'857'601;
    static constexpr double kSpeedTieBand = 65536.0;
    // A whole probe takes at most this many idle time-outs.
    static constexpr int kProbeTotalTimeoutFactor = 3;

    LinuxImageManager();
    explicit LinuxImageManager(LinuxDiskManager diskManager);
    LinuxImageManager(LinuxDiskManager diskManager, Dependencies dependencies);

    static QList<LinuxImageSource> builtInImageSources();
    QList<LinuxImageSource> imageSources() const;
    std::optional<LinuxImageSource> imageSource(const QString &distro) const;

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

    // --- mirrors ---
    // The probe of one server: a 4 MiB range request. Never fails; nothing
    // for a server that does not pass every check.
    QCoro::Task<std::optional<MirrorProbe>> probeMirror(QUrl url) const;
    // All servers at once; the probes ranked.
    QCoro::Task<QList<MirrorProbe>> probeMirrors(QList<QUrl> urls) const;
    // The same, and whether any server answered at all.
    struct ProbeRound {
        QList<MirrorProbe> ranked;
        // Some server sent an HTTP answer, good or not: not offline.
        bool anyServerAnswered = false;
    };
    QCoro::Task<ProbeRound> probeMirrorRound(QList<QUrl> urls) const;
    // The checks of a finished probe answer.
    static std::optional<MirrorProbe> evaluateProbe(const QUrl &url, int status, int64_t bodyBytes,
                                                    const QByteArray &contentRange, double seconds);
    // The total of a Content-Range value ("bytes 0-9/1234" -> 1234), strictly.
    static std::optional<int64_t> contentRangeTotal(const QByteArray &value);
    // Whether a ranks before b: faster by more than the tie band, else lower latency.
    static bool ranksBefore(const MirrorProbe &a, const MirrorProbe &b);
    // Stable insertion sort: the tie band is not a strict weak ordering.
    static QList<MirrorProbe> rankProbes(QList<MirrorProbe> probesInFinishingOrder);
    // Ranked servers first, then every server without a probe in table order.
    static QList<QUrl> downloadOrder(const QList<MirrorProbe> &ranked, const QList<QUrl> &downloadURLs);
    static QString mirrorLabel(const QUrl &url, const QList<MirrorProbe> &probes);

    // --- download ---
    // Tries each server in order until one delivers a complete file; the URL
    // that succeeded, or code 5 with every server's failure.
    QCoro::Task<QUrl> downloadFromServers(QList<QUrl> order, QList<MirrorProbe> probes, QString downloadFile,
                                          ProgressCallback progress, MirrorCallback mirrorSelected) const;

    // --- conversion and preparation ---
    static QStringList qemuImgInfoArguments(const QString &input);
    static QStringList qemuImgConvertArguments(const QString &input, const QString &output);
    static QStringList qemuImgMapArguments(const QString &input);
    // The bytes of data the raw disk will hold, from `qemu-img map
    // --output=json`: the extents that hold data and do not read as zeros
    // (the converter leaves the rest as holes). Throws DecodingError.
    static int64_t rawDataBytes(const QByteArray &mapJson);
    // Refuses a qcow2 that reads other files (backing file, external data
    // file) or holds more data than the output's file system has free, then
    // converts it to a sparse raw disk under a PartialItem and renames it.
    QCoro::Task<void> convertQCOW2ToRaw(QString input, QString output) const;

    // Makes the distribution's template ready, doing only what is missing.
    // One run per distribution at a time: a later caller awaits the running
    // one (without its own callbacks) and gets its result.
    QCoro::Task<void> prepareRuntimeImage(QString distro, StatusCallback status = {}, ProgressCallback progress = {},
                                          MirrorCallback mirrorSelected = {}) const;

    QList<RuntimeImageInfo> runtimeImageInfos() const;

    const LinuxDiskManager &diskManager() const { return m_diskManager; }

    static DomainError error(int code, const QString &text);

private:
    QCoro::Task<void> runPreparation(QString distro, StatusCallback status, ProgressCallback progress,
                                     MirrorCallback mirrorSelected) const;
    struct ProbeOutcome {
        std::optional<MirrorProbe> probe;
        bool answered = false;  // an HTTP status arrived
    };
    QCoro::Task<ProbeOutcome> probeWith(QNetworkAccessManager *network, QUrl url) const;

    LinuxDiskManager m_diskManager;
    Dependencies m_dependencies;
};

} // namespace trellium
