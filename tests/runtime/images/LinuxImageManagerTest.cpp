#include "core/Async.h"
#include "core/Files.h"
#include "platform/vm/EFIVariableStore.h"
#include "runtime/images/LinuxDistroProfile.h"
#include "runtime/images/LinuxImageManager.h"

#include "support/TestEnvironment.h"

#include <QFile>

using namespace trellium;

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

TEST_F(LinuxImageManagerTest, SourceTableHasThreeQcow2DistributionsLookedUpExactly)
{
    const auto sources = LinuxImageManager::builtInImageSources();
    ASSERT_EQ(sources.size(), 3);
    QStringList names;
    for (const auto &source : sources) {
        names << source.distro;
        EXPECT_EQ(source.format, LinuxImageFormat::qcow2);
        ASSERT_EQ(source.downloadURLs.size(), 2);
        for (const QUrl &url : source.downloadURLs)
            EXPECT_EQ(url.scheme(), QStringLiteral("https"));
    }
    EXPECT_EQ(names, (QStringList{kUbuntu, "rocky-9-amd64", "archlinux-x86_64"}));
    EXPECT_EQ(sources.at(0).downloadFileName(), QStringLiteral("noble-server-cloudimg-amd64.img"));
    EXPECT_EQ(sources.at(0).downloadURLs.at(1).path(),
              QStringLiteral("/releases/noble/release/ubuntu-24.04-server-cloudimg-amd64.img"));
    EXPECT_EQ(sources.at(1).downloadURLs.at(0).path(), sources.at(1).downloadURLs.at(1).path());
    EXPECT_EQ(sources.at(2).downloadFileName(), QStringLiteral("Arch-Linux-x86_64-cloudimg.qcow2"));

    EXPECT_TRUE(images.imageSource(kUbuntu));
    EXPECT_FALSE(images.imageSource(QStringLiteral("Ubuntu-24.04-amd64")));
}

TEST_F(LinuxImageManagerTest, SourceIsReadyOnlyWithImageAndMatchingManifest)
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
}

TEST_F(LinuxImageManagerTest, TemplateIsReadyForSchemasOneToNine)
{
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
}

TEST_F(LinuxImageManagerTest, NewEfiStoresAreCopiesOfTheFirmwareTemplateAndNeverOverwrite)
{
    const QString templatePath = scratch() + "/VARS.fd";
    writeFileAtomically(templatePath, QByteArray(4096, '\x5a'));
    const QString store = scratch() + "/efi-variable-store";
    EFIVariableStore::create(store, templatePath);
    EXPECT_EQ(readWholeFile(store), QByteArray(4096, '\x5a'));
    EXPECT_THROW(EFIVariableStore::create(store, templatePath), FileError);

    if (QFile::exists(EFIVariableStore::defaultTemplatePath())) {
        const QString real = scratch() + "/real-store";
        LinuxImageManager::createEFIVariableStore(real);
        EXPECT_EQ(fileSize(real), fileSize(EFIVariableStore::defaultTemplatePath()));
    }
}

TEST(LinuxDistroProfile, DiffersWhereTheDistributionsDiffer)
{
    const auto arch = LinuxDistroProfile::profile(QStringLiteral("archlinux-x86_64"));
    EXPECT_EQ(arch.runuserPath, QStringLiteral("/usr/bin/runuser"));
    EXPECT_EQ(arch.adminGroup, QStringLiteral("wheel"));
    EXPECT_EQ(arch.sshService, QStringLiteral("sshd"));
    const QStringList pacman = arch.templateProvisionCommand.split('\n');
    ASSERT_EQ(pacman.size(), 6);
    EXPECT_EQ(pacman.at(0), QStringLiteral("pacman -Syu --noconfirm --needed \\"));
    EXPECT_EQ(pacman.at(5), QStringLiteral("  git curl wget unzip base-devel python python-pip nodejs npm"));

    const auto rocky = LinuxDistroProfile::profile(QStringLiteral("rocky-9-amd64"));
    EXPECT_EQ(rocky.adminGroup, QStringLiteral("wheel"));
    EXPECT_EQ(rocky.runuserPath, QStringLiteral("/usr/sbin/runuser"));
    EXPECT_TRUE(rocky.templateProvisionCommand.startsWith("dnf install -y epel-release\ndnf install -y   sudo "));

    const auto ubuntu = LinuxDistroProfile::profile(kUbuntu);
    EXPECT_EQ(ubuntu.sshService, QStringLiteral("ssh"));
    EXPECT_TRUE(ubuntu.templateProvisionCommand.endsWith("nodejs npm ca-certificates"));
    EXPECT_FALSE(ubuntu.templateProvisionCommand.endsWith('\n'));

    const auto unknown = LinuxDistroProfile::profile(QStringLiteral("Ubuntu-24.04-amd64"));
    EXPECT_EQ(unknown, (LinuxDistroProfile{QStringLiteral("Ubuntu-24.04-amd64"), "sudo", "ssh", "/usr/sbin/runuser",
                                           true, QString()}));
}
