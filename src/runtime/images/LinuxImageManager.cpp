#include "runtime/images/LinuxImageManager.h"

#include "core/Async.h"
#include "core/Files.h"
#include "core/Log.h"
#include "core/PartialItem.h"
#include "core/Process.h"
#include "host/AgentComponentManager.h"
#include "platform/vm/EFIVariableStore.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStorageInfo>
#include <QTimer>

#include <cmath>
#include <limits>
#include <memory>

namespace trellium {

namespace {

QString hostText(const QUrl &url)
{
    const QString host = url.host();
    return host.isEmpty() ? url.toString() : host;
}

// Preparations under way, by distribution: later callers join the running
// one. Process-wide, because every image manager acts on the same folders.
struct PreparationRun {
    bool done = false;
    std::exception_ptr failure;
    QList<Completion<void>> waiters;
};
QHash<QString, std::shared_ptr<PreparationRun>> &preparationsUnderWay()
{
    static QHash<QString, std::shared_ptr<PreparationRun>> runs;
    return runs;
}

} // namespace

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

LinuxImageManager::LinuxImageManager() : LinuxImageManager(LinuxDiskManager(), Dependencies{}) {}

LinuxImageManager::LinuxImageManager(LinuxDiskManager diskManager)
    : LinuxImageManager(std::move(diskManager), Dependencies{})
{
}

LinuxImageManager::LinuxImageManager(LinuxDiskManager diskManager, Dependencies dependencies)
    : m_diskManager(std::move(diskManager)), m_dependencies(std::move(dependencies))
{
    if (!m_dependencies.qemuImgPath)
        m_dependencies.qemuImgPath = [] { return AgentComponentManager::shared().qemuImgPath(); };
}

DomainError LinuxImageManager::error(int code, const QString &text)
{
    return DomainError(QStringLiteral("LinuxImageManager"), code, text);
}

QList<LinuxImageSource> LinuxImageManager::imageSources() const
{
    return m_dependencies.sources.isEmpty() ? builtInImageSources() : m_dependencies.sources;
}

QList<LinuxImageSource> LinuxImageManager::builtInImageSources()
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

std::optional<LinuxImageSource> LinuxImageManager::imageSource(const QString &distro) const
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

// --- mirrors ----------------------------------------------------------------------------

std::optional<int64_t> LinuxImageManager::contentRangeTotal(const QByteArray &value)
{
    QList<QByteArray> pieces;
    for (const QByteArray &piece : value.split('/')) {
        if (!piece.isEmpty())
            pieces.append(piece);
    }
    if (pieces.isEmpty())
        return std::nullopt;
    const QByteArray last = pieces.last();
    qsizetype i = 0;
    bool negative = false;
    if (last.startsWith('+') || last.startsWith('-')) {
        negative = last.startsWith('-');
        i = 1;
    }
    if (i >= last.size())
        return std::nullopt;
    int64_t total = 0;
    for (; i < last.size(); ++i) {
        const char c = last.at(i);
        if (c < '0' || c > '9')
            return std::nullopt;
        const int digit = c - '0';
        if (total > (std::numeric_limits<int64_t>::max() - digit) / 10)
            return std::nullopt;
        total = total * 10 + digit;
    }
    return negative ? -total : total;
}

std::optional<LinuxImageManager::MirrorProbe> LinuxImageManager::evaluateProbe(const QUrl &url, int status,
                                                                               int64_t bodyBytes,
                                                                               const QByteArray &contentRange,
                                                                               double seconds)
{
    if (status != 206 || bodyBytes < kMinimumProbeBody || bodyBytes > kProbeRangeBytes)
        return std::nullopt;
    const auto total = contentRangeTotal(contentRange);
    if (!total || *total < kMinimumTotalBytes)
        return std::nullopt;
    const double latency = std::max(seconds, 0.001);
    return MirrorProbe{url, latency, double(bodyBytes) / latency, *total};
}

QCoro::Task<LinuxImageManager::ProbeOutcome> LinuxImageManager::probeWith(QNetworkAccessManager *network,
                                                                          QUrl url) const
{
    QNetworkRequest request(url);
    request.setRawHeader("Range", "bytes=0-" + QByteArray::number(kProbeRangeBytes - 1));
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(int(m_dependencies.probeTimeout.count()));

    QElapsedTimer clock;
    clock.start();
    QNetworkReply *reply = network->get(request);
    reply->setReadBufferSize(256 * 1024);
    struct State {
        int64_t body = 0;
        bool rejected = false;
        bool answered = false;
    };
    auto state = std::make_shared<State>();
    Completion<void> finished;
    // A server that ignores the range would send the whole image: its
    // answer ends when its headers arrive, and no body is kept at all.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, state]() {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        state->answered = state->answered || status != 0;
        // Mirrors often send their clients on to another host: the redirect
        // is followed with the same range, and judged by where it ends.
        if (status >= 300 && status <= 399 && reply->hasRawHeader("Location"))
            return;
        if (status != 206) {
            state->rejected = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, state]() {
        char buffer[64 * 1024];
        while (!state->rejected && reply->bytesAvailable() > 0) {
            const qint64 n = reply->read(buffer, sizeof buffer);
            if (n <= 0)
                break;
            state->body += n;
            if (state->body > kProbeRangeBytes) {
                state->rejected = true;
                reply->abort();
            }
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [finished]() mutable { finished.resolve(); });
    // The time-out above is an idle one: a server that trickles its answer
    // would hold every preparation waiting for the probes indefinitely.
    QTimer overall;
    overall.setSingleShot(true);
    QObject::connect(&overall, &QTimer::timeout, reply, [reply, state]() {
        state->rejected = true;
        reply->abort();
    });
    overall.start(m_dependencies.probeTimeout * kProbeTotalTimeoutFactor);
    co_await finished;
    overall.stop();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    reply->disconnect();
    reply->deleteLater();
    ProbeOutcome outcome;
    outcome.answered = state->answered || status != 0;
    if (state->rejected || reply->error() != QNetworkReply::NoError)
        co_return outcome;
    outcome.probe = evaluateProbe(url, status, state->body, reply->rawHeader("Content-Range"), seconds);
    co_return outcome;
}

QCoro::Task<std::optional<LinuxImageManager::MirrorProbe>> LinuxImageManager::probeMirror(QUrl url) const
{
    QNetworkAccessManager network;
    const ProbeOutcome outcome = co_await probeWith(&network, url);
    co_return outcome.probe;
}

QCoro::Task<QList<LinuxImageManager::MirrorProbe>> LinuxImageManager::probeMirrors(QList<QUrl> urls) const
{
    const ProbeRound round = co_await probeMirrorRound(std::move(urls));
    co_return round.ranked;
}

QCoro::Task<LinuxImageManager::ProbeRound> LinuxImageManager::probeMirrorRound(QList<QUrl> urls) const
{
    QNetworkAccessManager network;
    auto round = std::make_shared<ProbeRound>();
    auto probeAndCollect = [](const LinuxImageManager *self, QNetworkAccessManager *network, QUrl url,
                              std::shared_ptr<ProbeRound> collected) -> QCoro::Task<void> {
        const ProbeOutcome outcome = co_await self->probeWith(network, url);
        collected->anyServerAnswered = collected->anyServerAnswered || outcome.answered;
        if (outcome.probe)
            collected->ranked.append(*outcome.probe);  // in finishing order
    };
    // All at once: each task runs to its first suspension when made.
    std::vector<QCoro::Task<void>> probes;
    for (const QUrl &url : urls)
        probes.push_back(probeAndCollect(this, &network, url, round));
    for (auto &probe : probes)
        co_await std::move(probe);
    round->ranked = rankProbes(round->ranked);
    co_return *round;
}

bool LinuxImageManager::ranksBefore(const MirrorProbe &a, const MirrorProbe &b)
{
    if (std::abs(a.bytesPerSecond - b.bytesPerSecond) > kSpeedTieBand)
        return a.bytesPerSecond > b.bytesPerSecond;
    return a.latency < b.latency;
}

QList<LinuxImageManager::MirrorProbe> LinuxImageManager::rankProbes(QList<MirrorProbe> probes)
{
    for (qsizetype i = 1; i < probes.size(); ++i) {
        for (qsizetype j = i; j > 0 && ranksBefore(probes[j], probes[j - 1]); --j)
            probes.swapItemsAt(j, j - 1);
    }
    return probes;
}

QList<QUrl> LinuxImageManager::downloadOrder(const QList<MirrorProbe> &ranked, const QList<QUrl> &downloadURLs)
{
    QList<QUrl> order;
    for (const MirrorProbe &probe : ranked)
        order.append(probe.url);
    for (const QUrl &url : downloadURLs) {
        if (!order.contains(url))
            order.append(url);
    }
    return order;
}

QString LinuxImageManager::mirrorLabel(const QUrl &url, const QList<MirrorProbe> &probes)
{
    double speed = 0;
    for (const MirrorProbe &probe : probes) {
        if (probe.url == url) {
            speed = probe.bytesPerSecond / 1048576.0;
            break;
        }
    }
    const QString host = hostText(url);
    if (speed > 0)
        return host + QStringLiteral(" \u00B7 Test ") + QString::asprintf("%.1f", speed) + QStringLiteral(" MB/s");
    return host;
}

// --- download ---------------------------------------------------------------------------

QCoro::Task<QUrl> LinuxImageManager::downloadFromServers(QList<QUrl> order, QList<MirrorProbe> probes,
                                                         QString downloadFile, ProgressCallback progress,
                                                         MirrorCallback mirrorSelected) const
{
    QStringList failures;
    std::optional<QUrl> selected;
    for (const QUrl &url : order) {
        if (mirrorSelected)
            mirrorSelected(mirrorLabel(url, probes));
        QString failure;
        try {
            QNetworkAccessManager network;
            LinuxImageDownloadDelegate delegate(downloadFile, progress);
            LinuxImageDownloadDelegate::Limits limits = m_dependencies.downloadLimits;
            for (const MirrorProbe &probe : probes) {
                if (probe.url == url && probe.expectedBytes > 0)
                    limits.maximumBytes = probe.expectedBytes;
            }
            co_await delegate.download(&network, url, limits);
            for (const MirrorProbe &probe : probes) {
                if (probe.url != url || probe.expectedBytes <= 0)
                    continue;
                const int64_t size = fileSize(downloadFile);
                if (size != probe.expectedBytes)
                    throw error(4, QStringLiteral("Unvollständiger Download (%1 von %2 Bytes).")
                                       .arg(size)
                                       .arg(probe.expectedBytes));
            }
            selected = url;
        } catch (const std::exception &thrown) {
            failure = describeError(thrown);
        }
        if (selected)
            break;
        failures.append(hostText(url) + QStringLiteral(": ") + failure);
        logLine(QStringLiteral("Image download failed:"), failures.last());
        try {
            removeItem(downloadFile);
        } catch (const std::exception &) {
        }
    }
    if (!selected || !itemExists(downloadFile))
        throw error(5, QStringLiteral("Kein Downloadserver war erfolgreich. ") + failures.join(QStringLiteral(" \u00B7 ")));
    co_return *selected;
}

// --- conversion -------------------------------------------------------------------------

QStringList LinuxImageManager::qemuImgInfoArguments(const QString &input)
{
    return {QStringLiteral("info"), QStringLiteral("--output=json"), QStringLiteral("-f"), QStringLiteral("qcow2"),
            input};
}

QStringList LinuxImageManager::qemuImgConvertArguments(const QString &input, const QString &output)
{
    return {QStringLiteral("convert"), QStringLiteral("-p"), QStringLiteral("-f"), QStringLiteral("qcow2"),
            QStringLiteral("-O"), QStringLiteral("raw"), input, output};
}

namespace {

// The converter's own exit status is the code (1 when it had none).
DomainError conversionFailed(const ProcessResult &result)
{
    return LinuxImageManager::error(result.exitCode > 0 ? result.exitCode : 1,
                                    QStringLiteral("QCOW2 konnte nicht nach RAW konvertiert werden."));
}

} // namespace

QStringList LinuxImageManager::qemuImgMapArguments(const QString &input)
{
    return {QStringLiteral("map"), QStringLiteral("--output=json"), QStringLiteral("-f"), QStringLiteral("qcow2"), input};
}

int64_t LinuxImageManager::rawDataBytes(const QByteArray &mapJson)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(mapJson, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isArray())
        throw DecodingError(QStringLiteral("Die Belegung des Images ist nicht lesbar."));
    int64_t total = 0;
    for (const QJsonValue &value : document.array()) {
        const QJsonObject extent = value.toObject();
        const QJsonValue length = extent.value(QStringLiteral("length"));
        const QJsonValue data = extent.value(QStringLiteral("data"));
        const QJsonValue zero = extent.value(QStringLiteral("zero"));
        if (!length.isDouble() || length.toInteger(-1) < 0 || !data.isBool() || !zero.isBool())
            throw DecodingError(QStringLiteral("Die Belegung des Images ist nicht lesbar."));
        if (data.toBool() && !zero.toBool()) {
            if (length.toInteger() > std::numeric_limits<int64_t>::max() - total)
                throw DecodingError(QStringLiteral("Die Belegung des Images ist nicht lesbar."));
            total += length.toInteger();
        }
    }
    return total;
}

QCoro::Task<void> LinuxImageManager::convertQCOW2ToRaw(QString input, QString output) const
{
    const auto tool = m_dependencies.qemuImgPath();
    if (!tool)
        throw error(2, QStringLiteral("qemu-img nicht gefunden."));

    // A qcow2 may name other files that qemu-img would read into the disk
    // (a backing file, an external data file): a downloaded image never may.
    ProcessOptions infoOptions;
    infoOptions.timeout = std::chrono::minutes(2);
    const ProcessResult info = co_await runProcess(*tool, qemuImgInfoArguments(input), infoOptions);
    if (!info.succeeded())
        throw conversionFailed(info);
    QJsonObject details;
    try {
        details = parseJsonObject(info.standardOutput);
    } catch (const std::exception &) {
        throw conversionFailed(info);
    }
    const QJsonObject specific = details.value(QStringLiteral("format-specific")).toObject().value(QStringLiteral("data")).toObject();
    if (details.contains(QStringLiteral("backing-filename")) || details.contains(QStringLiteral("full-backing-filename"))
        || specific.contains(QStringLiteral("data-file")))
        throw error(6, QStringLiteral("Das Image verweist auf andere Dateien (Backing-File oder externe Datendatei) "
                                      "und wird nicht verwendet."));

    // The raw disk is written sparse: it takes the image's data, not its
    // virtual size. An image whose data the folder's file system cannot hold
    // is refused before anything is written (a few compressed clusters can
    // stand for terabytes of data).
    ProcessOptions mapOptions;
    mapOptions.timeout = std::chrono::minutes(2);
    mapOptions.outputLimit = 64 * 1024 * 1024;
    const ProcessResult map = co_await runProcess(*tool, qemuImgMapArguments(input), mapOptions);
    if (!map.succeeded() || map.outputTruncated)
        throw conversionFailed(map);
    int64_t dataBytes = 0;
    try {
        dataBytes = rawDataBytes(map.standardOutput);
    } catch (const DecodingError &) {
        throw conversionFailed(map);
    }
    // What an earlier run left (a conversion killed with the agent) goes
    // first: it would count against the space this one needs.
    removeItem(output);
    PartialItem temporary(output);
    const QStorageInfo storage(QFileInfo(output).absolutePath());
    if (storage.isValid() && dataBytes > storage.bytesAvailable()) {
        const QLocale german(QLocale::German, QLocale::Germany);
        throw error(8, QStringLiteral("Das Image ist entpackt %1 groß, im Ordner der Basis-Images sind aber nur %2 frei.")
                           .arg(german.formattedDataSize(dataBytes, 1, QLocale::DataSizeSIFormat),
                                german.formattedDataSize(storage.bytesAvailable(), 1, QLocale::DataSizeSIFormat)));
    }

    ProcessOptions options;
    options.timeout = m_dependencies.conversionTimeout;
    options.channels = ProcessOptions::Channels::Merged;
    const ProcessResult result = co_await runProcess(*tool, qemuImgConvertArguments(input, temporary.path()), options);
    if (!result.succeeded())
        throw conversionFailed(result);
    if (::rename(QFile::encodeName(temporary.path()).constData(), QFile::encodeName(output).constData()) != 0)
        throw FileError::fromErrno(QStringLiteral("Umbenennen"), output, errno);
    temporary.keep();
}

// --- preparation ------------------------------------------------------------------------

QCoro::Task<void> LinuxImageManager::prepareRuntimeImage(QString distro, StatusCallback status,
                                                         ProgressCallback progress, MirrorCallback mirrorSelected) const
{
    auto &runs = preparationsUnderWay();
    if (const auto running = runs.value(distro)) {
        Completion<void> joined;
        running->waiters.append(joined);
        co_await joined;
        co_return;
    }
    auto run = std::make_shared<PreparationRun>();
    runs.insert(distro, run);
    std::exception_ptr failure;
    try {
        co_await runPreparation(distro, status, progress, mirrorSelected);
    } catch (...) {
        failure = std::current_exception();
    }
    runs.remove(distro);
    for (Completion<void> waiter : run->waiters) {
        if (failure)
            waiter.reject(failure);
        else
            waiter.resolve();
    }
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<void> LinuxImageManager::runPreparation(QString distro, StatusCallback status, ProgressCallback progress,
                                                    MirrorCallback mirrorSelected) const
{
    const auto source = imageSource(distro);
    if (!source)
        throw error(1, QStringLiteral("Keine Image-Quelle für ") + distro + QStringLiteral("."));
    const QString folder = baseImageDirectory(distro);
    createDirectories(folder);
    if (isTemplateReady(distro))
        co_return;

    const QString sourceImage = folder + QStringLiteral("/source.img");
    const QString sourceManifest = folder + QStringLiteral("/source.json");
    const QString downloadFile = folder + QLatin1Char('/') + source->downloadFileName();
    if (!isSourceImageReady(distro, source->downloadURLs)) {
        removeItem(sourceImage);
        removeItem(sourceManifest);
    }

    std::optional<QUrl> selected;
    if (!itemExists(sourceImage) && itemExists(downloadFile)) {
        const ProbeRound round = co_await probeMirrorRound(source->downloadURLs);
        std::optional<int64_t> size;
        try {
            size = fileSize(downloadFile);
        } catch (const std::exception &) {
        }
        for (const MirrorProbe &probe : round.ranked) {
            if (probe.expectedBytes <= 0 || (size && probe.expectedBytes == *size)) {
                selected = probe.url;
                break;
            }
        }
        // A server that answered without vouching for the file (another
        // size, no range, an error status) leaves it unconfirmed: it goes.
        // Only with no server reachable at all (offline) is it kept and used.
        if (!selected && round.anyServerAnswered)
            removeItem(downloadFile);
    }

    if (!itemExists(sourceImage) && !itemExists(downloadFile)) {
        logLine(QStringLiteral("Downloading distro image:"), distro);
        if (status)
            status(RuntimeImageStatus::downloading);
        const QList<MirrorProbe> probes = co_await probeMirrors(source->downloadURLs);
        selected = co_await downloadFromServers(downloadOrder(probes, source->downloadURLs), probes, downloadFile,
                                                progress, mirrorSelected);
    }

    if (!itemExists(sourceImage)) {
        logLine(QStringLiteral("Download finished:"), distro);
        if (status)
            status(RuntimeImageStatus::converting);
        if (source->format == LinuxImageFormat::qcow2) {
            co_await convertQCOW2ToRaw(downloadFile, sourceImage);
        } else if (::rename(QFile::encodeName(downloadFile).constData(), QFile::encodeName(sourceImage).constData()) != 0) {
            throw FileError::fromErrno(QStringLiteral("Umbenennen"), sourceImage, errno);
        }
        writeSourceManifest(distro, selected.value_or(source->downloadURLs.value(0)));
    }

    if (status)
        status(RuntimeImageStatus::preparing);
    if (!m_dependencies.prepareTemplate)
        throw error(3, QStringLiteral("Das TRELLIUM-Template konnte nicht vollständig provisioniert werden."));
    co_await m_dependencies.prepareTemplate(distro, sourceImage, folder + QStringLiteral("/disk.img"));
    writeTemplateManifest(distro);
}

QList<RuntimeImageInfo> LinuxImageManager::runtimeImageInfos() const
{
    QList<RuntimeImageInfo> infos;
    for (const LinuxImageSource &source : imageSources()) {
        RuntimeImageInfo info;
        info.distro = source.distro;
        info.displayName = source.displayName;
        if (isTemplateReady(source.distro)) {
            info.status = RuntimeImageStatus::installed;
            info.installedSizeBytes = fileSize(baseImageDirectory(source.distro) + QStringLiteral("/disk.img"));
            info.statusMessage = QStringLiteral("TRELLIUM-Entwicklungsumgebung v") + QString::number(kTemplateSchemaVersion);
        } else {
            info.status = RuntimeImageStatus::notInstalled;
            info.statusMessage = QStringLiteral("Vorlage noch nicht vorbereitet");
        }
        if (!source.downloadURLs.isEmpty())
            info.downloadURL = source.downloadURLs.first().toString();
        infos.append(info);
    }
    return infos;
}

} // namespace trellium
