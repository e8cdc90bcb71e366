#include "core/Async.h"
#include "core/Files.h"
#include "platform/vm/EFIVariableStore.h"
#include "runtime/images/LinuxImageManager.h"
#include "core/Process.h"

#include "support/HttpTestServer.h"

#include "support/TestEnvironment.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStorageInfo>

#include <sys/mount.h>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

const QString kUbuntu = QStringLiteral("ubuntu-24.04-amd64");

class LinuxImageManagerTest : public test::DataHomeTest {
protected:
    QString base(const QString &file = {}) const
    {
        return images.baseImageDirectory(kUbuntu) + (file.isEmpty() ? QString() : "/" + file);
    }

    void writeBase(const QString &file, const QByteArray &bytes)
    {
        createDirectories(base());
        writeFileAtomically(base(file), bytes);
    }

    QByteArray sourceManifest(int schema, const QString &distro, const QString &url) const
    {
        return QStringLiteral(R"({"schemaVersion":%1,"distro":"%2","downloadURL":"%3","createdAt":760007700.5})")
            .arg(schema)
            .arg(distro, url)
            .toUtf8();
    }

    QList<QUrl> ubuntuURLs() const { return images.imageSource(kUbuntu)->downloadURLs; }

    LinuxImageManager images;
};

} // namespace

TEST_F(LinuxImageManagerTest, SourceAndTemplateAreReadyOnlyWithTheirFilesAndMatchingManifests)
{
    const QString url = ubuntuURLs().at(1).toString();
    writeBase("source.json", sourceManifest(1, kUbuntu, url));
    EXPECT_FALSE(images.isSourceImageReady(kUbuntu, ubuntuURLs()));  // no source.img yet
    writeBase("source.img", "raw");
    EXPECT_TRUE(images.isSourceImageReady(kUbuntu, ubuntuURLs()));

    writeBase("source.json", sourceManifest(2, kUbuntu, url));
    EXPECT_FALSE(images.isSourceImageReady(kUbuntu, ubuntuURLs()));
    writeBase("source.json", sourceManifest(1, kUbuntu, url + "/"));
    EXPECT_FALSE(images.isSourceImageReady(kUbuntu, ubuntuURLs()));
    writeBase("source.json", sourceManifest(1, "rocky-9-amd64", url));
    EXPECT_FALSE(images.isSourceImageReady(kUbuntu, ubuntuURLs()));
    writeBase("source.json", "{\"schemaVersion\":1}");
    EXPECT_FALSE(images.isSourceImageReady(kUbuntu, ubuntuURLs()));

    images.writeSourceManifest(kUbuntu, ubuntuURLs().at(0));
    EXPECT_TRUE(images.isSourceImageReady(kUbuntu, ubuntuURLs()));
    const QJsonObject written = parseJsonObject(readWholeFile(base("source.json")));
    EXPECT_TRUE(written.value("createdAt").isDouble());
    EXPECT_FALSE(readWholeFile(base("source.json")).contains('\n'));  // compact

    // A template is ready for schemas one to nine.
    auto templateWith = [&](const QString &schema, const QString &createdAt = "760007700") {
        writeBase("template.json",
                  QStringLiteral(R"({"schemaVersion":%1,"distro":"%2","createdAt":%3})")
                      .arg(schema, kUbuntu, createdAt)
                      .toUtf8());
    };
    templateWith("9");
    EXPECT_FALSE(images.isTemplateReady(kUbuntu));  // disk.img missing
    writeBase("disk.img", "disk");
    for (const char *schema : {"1", "5", "9"}) {
        templateWith(schema);
        EXPECT_TRUE(images.isTemplateReady(kUbuntu)) << schema;
    }
    for (const char *schema : {"0", "10"}) {
        templateWith(schema);
        EXPECT_FALSE(images.isTemplateReady(kUbuntu)) << schema;
    }
    templateWith("9", "\"2025-01-31T09:15:00Z\"");
    EXPECT_FALSE(images.isTemplateReady(kUbuntu));

    images.writeTemplateManifest(kUbuntu);
    EXPECT_TRUE(images.isTemplateReady(kUbuntu));
    EXPECT_EQ(parseJsonObject(readWholeFile(base("template.json"))).value("schemaVersion").toInt(), 9);
}

TEST_F(LinuxImageManagerTest, CopyBaseImageReplacesTheRuntimeDiskAndCopiesTheStoreOnlyWhenPresent)
{
    const QUuid id = QUuid::createUuid();
    const QString runtime = images.diskManager().runtimeDirectory(id);
    images.diskManager().ensureRuntimeDirectory(id);

    // No base disk: the runtime's files are left as they are.
    writeFileAtomically(runtime + "/disk.img", "old");
    EXPECT_THROW(runSync(images.copyBaseImage(kUbuntu, id)), FileError);
    EXPECT_EQ(readWholeFile(runtime + "/disk.img"), "old");

    writeBase("disk.img", "template disk");
    runSync(images.copyBaseImage(kUbuntu, id));
    EXPECT_EQ(readWholeFile(runtime + "/disk.img"), "template disk");
    EXPECT_FALSE(itemExists(runtime + "/efi-variable-store"));

    writeBase("efi-variable-store", "vars");
    writeFileAtomically(runtime + "/efi-variable-store", "stale vars");
    runSync(images.copyBaseImage(kUbuntu, id));
    EXPECT_EQ(readWholeFile(runtime + "/efi-variable-store"), "vars");

    // New stores are copies of the firmware's template and never overwrite.
    const QString templatePath = scratch() + "/VARS.fd";
    writeFileAtomically(templatePath, QByteArray(4096, '\x5a'));
    const QString store = scratch() + "/efi-variable-store";
    EFIVariableStore::create(store, templatePath);
    EXPECT_EQ(readWholeFile(store), QByteArray(4096, '\x5a'));
    EXPECT_THROW(EFIVariableStore::create(store, templatePath), FileError);
}

namespace {

constexpr int64_t kMiB = 1024 * 1024;

// Images made with the real qemu-img and served by a local mirror; the
// template step is a stand-in that records its calls.
class LinuxImagePipelineTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        if (!QFile::exists("/usr/bin/qemu-img") || !QFile::exists("/usr/bin/qemu-io"))
            GTEST_SKIP() << "qemu-img and qemu-io are needed";
        qcow2 = makeQcow2("image.qcow2");
        server.route("/whole/noble.img", test::HttpResponse::file(qcow2, false));
        server.route("/mirror/noble.img", test::HttpResponse::file(qcow2));
        LinuxImageManager::Dependencies dependencies;
        dependencies.sources = {LinuxImageSource{kUbuntu, "Ubuntu 24.04",
                                                 {server.url("/whole/noble.img"), server.url("/mirror/noble.img")},
                                                 LinuxImageFormat::qcow2}};
        dependencies.prepareTemplate = [this](QString distro, QString sourceDisk, QString templateDisk) {
            return fakeTemplate(distro, sourceDisk, templateDisk);
        };
        images = std::make_unique<LinuxImageManager>(LinuxDiskManager(), dependencies);
    }

    QCoro::Task<void> fakeTemplate(QString distro, QString sourceDisk, QString templateDisk)
    {
        templateCalls << distro;
        EXPECT_TRUE(itemExists(sourceDisk));
        if (holdTemplate) {
            Completion<void> released = *holdTemplate;
            co_await released;
        }
        if (templateFailure)
            throw DomainError("LinuxImageManager", 3, *templateFailure);
        copyFileSparse(sourceDisk, templateDisk);
    }

    // A small qcow2 with data at both ends, padded with a hole past the
    // probe's 100 MiB minimum (qemu ignores what follows its clusters).
    QString makeQcow2(const QString &name, const QStringList &createOptions = {}, const QString &size = "64M")
    {
        const QString path = scratch() + "/" + name;
        QStringList create{"create", "-q", "-f", "qcow2"};
        create << createOptions << path << size;
        EXPECT_EQ(runProcessBlocking("/usr/bin/qemu-img", create).exitCode, 0);
        const auto io = runProcessBlocking("/usr/bin/qemu-io", {"-f", "qcow2", "-c", "write -P 0x5a 0 1M", "-c",
                                                                "write -P 0xa5 40M 512k", path});
        EXPECT_EQ(io.exitCode, 0) << io.standardError.constData();
        QFile(path).resize(110 * kMiB);
        return path;
    }

    // With 24 MiB more data than makeQcow2 writes, an image does not fit a
    // 16 MiB file system: it is refused before anything is written.
    void expectRefusedWith24MiBMoreData(const QString &image)
    {
        const auto io = runProcessBlocking("/usr/bin/qemu-io", {"-f", "qcow2", "-c", "write -P 0x33 8M 24M", image});
        ASSERT_EQ(io.exitCode, 0) << io.standardError.constData();
        const QString refused =
            test::errorOf([&] { runSync(images->convertQCOW2ToRaw(image, base("source.img")), 120s); });
        EXPECT_TRUE(refused.startsWith(QStringLiteral("Das Image ist entpackt 26,7 MB groß, im Ordner der "
                                                      "Basis-Images sind aber nur ")))
            << qPrintable(refused);
        EXPECT_TRUE(refused.endsWith(QStringLiteral(" MB frei."))) << qPrintable(refused);
        EXPECT_TRUE(listDirectory(base("")).isEmpty());
    }

    QList<RuntimeImageStatus> prepare(QStringList *labels = nullptr)
    {
        QList<RuntimeImageStatus> statuses;
        runSync(images->prepareRuntimeImage(kUbuntu, [&](RuntimeImageStatus s) { statuses << s; }, {},
                                            [labels](const QString &label) {
                                                if (labels)
                                                    *labels << label;
                                            }),
                120s);
        return statuses;
    }

    QString prepareError() { return test::errorOf([this] { prepare(); }); }

    QString base(const QString &file) const { return images->baseImageDirectory(kUbuntu) + "/" + file; }

    test::HttpTestServer server;
    QString qcow2;
    std::unique_ptr<LinuxImageManager> images;
    QStringList templateCalls;
    std::optional<Completion<void>> holdTemplate;
    std::optional<QString> templateFailure;
};

} // namespace

TEST_F(LinuxImagePipelineTest, FreshImageIsProbedDownloadedFromTheRangeMirrorConvertedPreparedAndKept)
{
    // Without a template every entry is not installed, with its first URL.
    const auto none = LinuxImageManager().runtimeImageInfos();
    ASSERT_EQ(none.size(), 3);
    for (const auto &info : none)
        EXPECT_EQ(info.status, RuntimeImageStatus::notInstalled);
    EXPECT_EQ(none.first().downloadURL, LinuxImageManager::builtInImageSources().first().downloadURLs.first().toString());

    QStringList labels;
    EXPECT_EQ(prepare(&labels), (QList<RuntimeImageStatus>{RuntimeImageStatus::downloading,
                                                           RuntimeImageStatus::converting,
                                                           RuntimeImageStatus::preparing}));
    EXPECT_EQ(templateCalls, QStringList{kUbuntu});
    // Only the mirror that honours ranges was asked for the whole file.
    ASSERT_EQ(labels.size(), 1);
    EXPECT_TRUE(labels.first().startsWith("127.0.0.1 \u00B7 Test ")) << qPrintable(labels.first());
    EXPECT_EQ(server.count("GET", "/whole/noble.img"), 1);
    EXPECT_EQ(server.count("GET", "/mirror/noble.img"), 2);

    // The download keeps its first URL's name; source.img is the qcow2's content.
    EXPECT_EQ(fileSize(base("noble.img")), 110 * kMiB);
    const auto compare = runProcessBlocking("/usr/bin/qemu-img", {"compare", "-q", "-f", "qcow2", "-F", "raw", qcow2,
                                                                  base("source.img")});
    EXPECT_EQ(compare.exitCode, 0) << compare.standardOutput.constData();
    EXPECT_LT(allocatedBytes(base("source.img")), 8 * kMiB);  // converted sparse
    const auto manifest = LinuxImageManager::SourceManifest::fromJson(parseJsonObject(readWholeFile(base("source.json"))));
    EXPECT_EQ(manifest.downloadURL, server.url("/mirror/noble.img").toString());
    EXPECT_TRUE(images->isTemplateReady(kUbuntu));

    const auto infos = images->runtimeImageInfos();
    ASSERT_EQ(infos.size(), 1);
    EXPECT_EQ(infos.first().status, RuntimeImageStatus::installed);
    EXPECT_EQ(infos.first().installedSizeBytes, fileSize(base("disk.img")));
    EXPECT_EQ(infos.first().statusMessage, QStringLiteral("TRELLIUM-Entwicklungsumgebung v9"));

    // Ready: nothing is reported, asked or touched.
    const int requests = server.count("GET", "/mirror/noble.img");
    EXPECT_TRUE(prepare().isEmpty());
    EXPECT_EQ(templateCalls.size(), 1);
    EXPECT_EQ(server.count("GET", "/mirror/noble.img"), requests);

    // A kept download of the announced size is converted without downloading it again.
    removeItem(base("template.json"));
    removeItem(base("source.json"));  // source.img alone is not trusted
    EXPECT_EQ(prepare(), (QList<RuntimeImageStatus>{RuntimeImageStatus::converting, RuntimeImageStatus::preparing}));
    EXPECT_EQ(server.count("GET", "/mirror/noble.img"), requests + 1);  // the probe only

    // With no server reachable (offline), nothing contradicts the kept download: it is used.
    removeItem(base("template.json"));
    removeItem(base("source.json"));
    LinuxImageManager::Dependencies offline;
    offline.sources = {LinuxImageSource{kUbuntu, "Ubuntu 24.04",
                                        {QUrl("http://127.0.0.1:1/whole/noble.img"),
                                         QUrl("http://127.0.0.1:1/mirror/noble.img")},
                                        LinuxImageFormat::qcow2}};
    offline.prepareTemplate = [this](QString distro, QString sourceDisk, QString templateDisk) {
        return fakeTemplate(distro, sourceDisk, templateDisk);
    };
    QList<RuntimeImageStatus> offlineStatuses;
    runSync(LinuxImageManager(LinuxDiskManager(), offline)
                .prepareRuntimeImage(kUbuntu, [&](RuntimeImageStatus s) { offlineStatuses << s; }),
            120s);
    EXPECT_EQ(offlineStatuses,
              (QList<RuntimeImageStatus>{RuntimeImageStatus::converting, RuntimeImageStatus::preparing}));
    EXPECT_EQ(fileSize(base("noble.img")), 110 * kMiB);

    // Servers that answer without vouching for it (a whole file instead of
    // the range, an error status) leave it unconfirmed: it goes, and a
    // fresh download follows from the server that sends the file.
    removeItem(base("template.json"));
    server.route("/mirror/noble.img", test::HttpResponse::withStatus(503));
    QFile(base("noble.img")).resize(105 * kMiB);
    EXPECT_EQ(prepare(), (QList<RuntimeImageStatus>{RuntimeImageStatus::downloading, RuntimeImageStatus::converting,
                                                    RuntimeImageStatus::preparing}));
    EXPECT_EQ(fileSize(base("noble.img")), 110 * kMiB);

    // A kept download of another size than a server announces is replaced by a fresh one.
    server.route("/mirror/noble.img", test::HttpResponse::file(qcow2));
    removeItem(base("template.json"));
    removeItem(base("source.json"));
    QFile(base("noble.img")).resize(105 * kMiB);
    EXPECT_EQ(prepare().first(), RuntimeImageStatus::downloading);
    EXPECT_EQ(fileSize(base("noble.img")), 110 * kMiB);
}

TEST_F(LinuxImagePipelineTest, ImagesThatCannotBeConvertedSafelyAreRefusedAndLeaveNothing)
{
    // Distributions are looked up exactly.
    EXPECT_EQ(test::errorOf([&] { runSync(images->prepareRuntimeImage("Ubuntu-24.04-amd64")); }),
              QStringLiteral("Keine Image-Quelle für Ubuntu-24.04-amd64."));
    EXPECT_FALSE(itemExists(images->baseImageDirectory("Ubuntu-24.04-amd64")));

    const QString backing = makeQcow2("base.qcow2");
    const QString child = makeQcow2("child.qcow2", {"-b", backing, "-F", "qcow2"});
    server.route("/mirror/noble.img", test::HttpResponse::file(child));

    EXPECT_EQ(prepareError(), QStringLiteral("Das Image verweist auf andere Dateien (Backing-File oder externe "
                                             "Datendatei) und wird nicht verwendet."));
    EXPECT_FALSE(itemExists(base("source.img")));
    EXPECT_FALSE(itemExists(base("source.json")));
    EXPECT_TRUE(templateCalls.isEmpty());

    const QString external = makeQcow2("external.qcow2", {"-o", "data_file=" + scratch() + "/external.data"});
    server.route("/mirror/noble.img", test::HttpResponse::file(external));
    removeItem(base("noble.img"));
    EXPECT_TRUE(prepareError().startsWith(QStringLiteral("Das Image verweist auf andere Dateien")));
    EXPECT_FALSE(itemExists(base("source.img")));

    // Not a qcow2 at all: the converter's own failure.
    const QString garbage = scratch() + "/garbage.img";
    writeFileAtomically(garbage, QByteArray(4096, 'x'));
    QFile(garbage).resize(110 * kMiB);
    server.route("/mirror/noble.img", test::HttpResponse::file(garbage));
    removeItem(base("noble.img"));
    EXPECT_EQ(prepareError(), QStringLiteral("QCOW2 konnte nicht nach RAW konvertiert werden."));
    EXPECT_FALSE(itemExists(base("source.img")));

    // A converter that is missing, fails or hangs midway leaves no part of its output.
    LinuxImageManager::Dependencies standIn;
    const auto convert = [&] {
        return test::errorOf([&] {
            runSync(LinuxImageManager(LinuxDiskManager(), standIn).convertQCOW2ToRaw(qcow2, base("source.img")), 60s);
        });
    };
    standIn.qemuImgPath = [] { return std::nullopt; };
    EXPECT_EQ(convert(), QStringLiteral("qemu-img nicht gefunden."));
    const QString converter = scratch() + "/qemu-img";
    standIn.qemuImgPath = [converter] { return converter; };
    standIn.conversionTimeout = 1s;
    for (const QString ending : {"exit 1", "exec sleep 60"}) {
        test::shellScript(converter, "[ \"$1\" = convert ] || exec /usr/bin/qemu-img \"$@\"\n"
                                     "for last; do :; done\necho part > \"$last\"\n" + ending);
        EXPECT_NE(convert(), "<no error>");
        EXPECT_EQ(listDirectory(base("")), (QStringList{"noble.img"})) << qPrintable(ending);
    }
}

namespace {

// A tmpfs of the given size over a folder while alive (root only), as a
// nearly full disk for the base images.
class SmallFileSystem {
public:
    SmallFileSystem(const QString &folder, int64_t bytes) : m_folder(folder)
    {
        createDirectories(folder);
        const QByteArray options = "size=" + QByteArray::number(qint64(bytes)) + ",mode=0755";
        m_mounted = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                            options.constData())
            == 0;
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool mounted() const { return m_mounted; }

private:
    QString m_folder;
    bool m_mounted = false;
};

} // namespace

// The raw disk is written sparse, so it takes the image's data, not its
// virtual size: only data that does not fit is refused.
TEST_F(LinuxImagePipelineTest, FreeSpaceIsJudgedByTheDataTheRawDiskWillHold)
{
    const auto convert = [&](const QString &image) {
        return test::errorOf([&] { runSync(images->convertQCOW2ToRaw(image, base("source.img")), 120s); });
    };
    EXPECT_THROW(LinuxImageManager::rawDataBytes("{}"), DecodingError);
    EXPECT_THROW(LinuxImageManager::rawDataBytes(R"([{"start":0,"length":512,"data":true}])"), DecodingError);

    // Far larger than the disk has free, holding 1.5 MiB.
    createDirectories(base(""));
    const int64_t available = QStorageInfo(base("")).bytesAvailable();
    const int64_t terabyte = int64_t(1) << 40;
    if (available < 14 * terabyte) {  // ext4 files end at 16 TiB
        const int64_t virtualSize = (available / terabyte + 1) * terabyte;
        const QString sparse = makeQcow2("sparse.qcow2", {}, QString::number(virtualSize));
        EXPECT_EQ(convert(sparse).toStdString(), "<no error>");
        EXPECT_EQ(fileSize(base("source.img")), virtualSize);
        EXPECT_LT(allocatedBytes(base("source.img")), 8 * kMiB);
        removeItem(base("source.img"));
    }

    // On a 16 MiB file system: a 1 GiB image with little data is converted;
    // one with 24 MiB of data is refused before anything is written.
    SmallFileSystem small(base(""), 16 * kMiB);
    if (!small.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const QString fits = makeQcow2("fits.qcow2", {}, "1G");
    EXPECT_EQ(convert(fits).toStdString(), "<no error>");
    const auto compare = runProcessBlocking("/usr/bin/qemu-img", {"compare", "-q", "-f", "qcow2", "-F", "raw", fits,
                                                                  base("source.img")});
    EXPECT_EQ(compare.exitCode, 0) << compare.standardOutput.constData();
    EXPECT_EQ(fileSize(base("source.img")), 1024 * kMiB);
    removeItem(base("source.img"));

    // What a conversion killed with an earlier agent left does not count
    // against the space: it is cleared first.
    const QString leftover = base(".source.img.trellium-partial-0123456789abcdef");
    {
        QFile file(leftover);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const QByteArray block(64 * 1024, 'x');
        while (QStorageInfo(base("")).bytesAvailable() > 256 * 1024 && file.write(block) == block.size())
            file.flush();
    }
    EXPECT_EQ(convert(fits).toStdString(), "<no error>");
    EXPECT_FALSE(QFileInfo::exists(leftover));
    removeItem(base("source.img"));

    const QString full = makeQcow2("full.qcow2", {}, "64M");
    expectRefusedWith24MiBMoreData(full);
}

// With metadata preallocated, qemu-img maps the whole virtual size as data
// that reads as zero: the sparse raw disk holds none of it, so only the real
// data has to fit.
TEST_F(LinuxImagePipelineTest, PreallocatedExtentsThatReadAsZeroNeedNoSpace)
{
    // 64 MiB mapped as data, 1.5 MiB of it real.
    const QString preallocated = makeQcow2("preallocated.qcow2", {"-o", "preallocation=metadata"});
    const auto map = runProcessBlocking("/usr/bin/qemu-img", LinuxImageManager::qemuImgMapArguments(preallocated));
    ASSERT_EQ(map.exitCode, 0) << map.standardError.constData();
    int64_t mapped = 0;
    for (const QJsonValue extent : QJsonDocument::fromJson(map.standardOutput).array())
        mapped += extent.toObject().value("data").toBool() ? extent.toObject().value("length").toInteger() : 0;
    EXPECT_EQ(mapped, 64 * kMiB) << map.standardOutput.constData();
    EXPECT_EQ(LinuxImageManager::rawDataBytes(map.standardOutput), 1536 * 1024);

    SmallFileSystem small(base(""), 16 * kMiB);
    if (!small.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    ASSERT_EQ(test::errorOf([&] { runSync(images->convertQCOW2ToRaw(preallocated, base("source.img")), 120s); })
                  .toStdString(),
              "<no error>");
    const auto compare = runProcessBlocking("/usr/bin/qemu-img", {"compare", "-q", "-f", "qcow2", "-F", "raw",
                                                                  preallocated, base("source.img")});
    EXPECT_EQ(compare.exitCode, 0) << compare.standardOutput.constData();
    EXPECT_LT(allocatedBytes(base("source.img")), 8 * kMiB);
    removeItem(base("source.img"));

    // 24 MiB more of real data amid the preallocated zeros does not fit.
    const QString full = makeQcow2("preallocated-full.qcow2", {"-o", "preallocation=metadata"});
    expectRefusedWith24MiBMoreData(full);
}

TEST_F(LinuxImagePipelineTest, ConcurrentPreparationsOfOneDistributionShareOneRun)
{
    holdTemplate = Completion<void>();
    QList<RuntimeImageStatus> first;
    QList<RuntimeImageStatus> second;
    bool firstDone = false;
    bool secondDone = false;
    auto run = [](LinuxImageManager *manager, QList<RuntimeImageStatus> *statuses, bool *done) -> QCoro::Task<void> {
        co_await manager->prepareRuntimeImage(kUbuntu, [statuses](RuntimeImageStatus s) { *statuses << s; });
        *done = true;
    };
    startDetached(run(images.get(), &first, &firstDone), "first");
    ASSERT_TRUE(test::waitUntil([&] { return !templateCalls.isEmpty(); }, 60s));
    // Another manager instance: the run is shared by distribution, not by object.
    LinuxImageManager other(LinuxDiskManager(), {});
    startDetached(run(&other, &second, &secondDone), "second");
    runSync(sleepFor(100ms));
    EXPECT_FALSE(secondDone);

    holdTemplate->resolve();
    ASSERT_TRUE(test::waitUntil([&] { return firstDone && secondDone; }, 30s));
    EXPECT_EQ(templateCalls.size(), 1);
    EXPECT_EQ(first.size(), 3);
    EXPECT_TRUE(second.isEmpty());

    // A failure reaches every caller, and the next call starts afresh.
    removeItem(base("template.json"));
    templateFailure = "Vorlage kaputt";
    holdTemplate = Completion<void>();
    QString firstError, secondError;
    auto failing = [](LinuxImageManager *manager, QString *error) -> QCoro::Task<void> {
        try {
            co_await manager->prepareRuntimeImage(kUbuntu);
        } catch (const std::exception &e) {
            *error = describeError(e);
        }
    };
    startDetached(failing(images.get(), &firstError), "first");
    ASSERT_TRUE(test::waitUntil([&] { return templateCalls.size() == 2; }, 60s));
    startDetached(failing(&other, &secondError), "second");
    holdTemplate->resolve();
    ASSERT_TRUE(test::waitUntil([&] { return !firstError.isEmpty() && !secondError.isEmpty(); }, 30s));
    EXPECT_EQ(firstError, "Vorlage kaputt");
    EXPECT_EQ(secondError, "Vorlage kaputt");
    templateFailure.reset();
    holdTemplate.reset();
    prepare();
    EXPECT_EQ(templateCalls.size(), 3);
}
