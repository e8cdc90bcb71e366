#include "host/AgentUpdateError.h"
#include "host/AgentUpdateManager.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

using namespace trellium;

namespace {

AgentUpdateManager::Configuration offlineConfiguration()
{
    AgentUpdateManager::Configuration configuration;
    configuration.updateHost = QStringLiteral("Updates.Example.org");
    configuration.buildNumberText = QStringLiteral("7");
    return configuration;
}

AgentLatestManifest validManifest()
{
    AgentLatestManifest manifest;
    manifest.platform = QStringLiteral("linux");
    manifest.product = QStringLiteral("TRELLIUM Agent");
    manifest.version = QStringLiteral("1.4.2");
    manifest.build = 8;
    manifest.channel = QStringLiteral("stable");
    manifest.url = QUrl(QStringLiteral("https://updates.example.org/downloads/trellium/linux/TRELLIUM-Agent-1.4.2.deb"));
    manifest.sha256 = QString(64, QLatin1Char('a'));
    manifest.releaseNotes = QStringLiteral("Fehler behoben.");
    manifest.publishedAt = QDateTime(QDate(2026, 1, 31), QTime(9, 15), QTimeZone::utc());
    return manifest;
}

// The reason of the invalidManifest error, or "" when the manifest passes.
QString rejection(const AgentUpdateManager &manager, const AgentLatestManifest &manifest)
{
    try {
        manager.validateManifest(manifest);
        return {};
    } catch (const AgentUpdateError &error) {
        EXPECT_EQ(error.errorCase(), AgentUpdateError::Case::invalidManifest);
        return error.reason();
    }
}

} // namespace

TEST(AgentUpdateManifest, RulesAreCheckedInOrderWithTheirReasons)
{
    const AgentUpdateManager manager(offlineConfiguration());
    // Every rule broken; mending one at a time reveals the next reason.
    AgentLatestManifest manifest = validManifest();
    manifest.platform = QStringLiteral("macos");
    manifest.product = QStringLiteral("TRELLIUM");
    manifest.channel = QStringLiteral("beta");
    manifest.build = 0;
    manifest.releaseNotes = QString(20001, QLatin1Char('x'));
    manifest.sha256 = QStringLiteral("abc");
    manifest.url = QUrl(QStringLiteral("http://updates.example.org/downloads/trellium/linux/a.deb"));

    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Falsche Plattform."));
    manifest.platform = QStringLiteral("linux");
    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Falsches Produkt."));
    manifest.product = QStringLiteral("TRELLIUM Agent");
    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Falscher Release-Channel."));
    manifest.channel = QStringLiteral("stable");
    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Ungültige Version."));
    manifest.build = 1;
    manifest.version = QStringLiteral("1.");
    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Ungültige Version."));
    manifest.version = QStringLiteral("1.0");
    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Release Notes sind zu groß."));
    manifest.releaseNotes = QString(20000, QLatin1Char('x'));
    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Ungültiger SHA-256-Wert."));
    manifest.sha256 = QString(64, QLatin1Char('F'));
    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Unzulässige Download-URL."));
    manifest.url.setScheme(QStringLiteral("https"));
    EXPECT_EQ(rejection(manager, manifest), QString());

    // The platform is compared exactly.
    manifest.platform = QStringLiteral("Linux");
    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Falsche Plattform."));

    // Release notes count user-perceived characters, not code units.
    manifest = validManifest();
    QString accented;
    for (int i = 0; i < 20000; ++i)
        accented += QStringLiteral("e\u0301");
    manifest.releaseNotes = accented;
    EXPECT_EQ(rejection(manager, manifest), QString());
    manifest.releaseNotes += QLatin1Char('!');
    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Release Notes sind zu groß."));
}

TEST(AgentUpdateManifest, DownloadAddressMustStayInTheUpdateFolder)
{
    const AgentUpdateManager manager(offlineConfiguration());
    const auto verdict = [&manager](const QString &url) {
        AgentLatestManifest manifest = validManifest();
        manifest.url = QUrl(url, QUrl::StrictMode);
        return rejection(manager, manifest);
    };
    const QString refused = QStringLiteral("Unzulässige Download-URL.");
    // Host and extension are compared in lower case.
    EXPECT_EQ(verdict(QStringLiteral("https://UPDATES.example.org/downloads/trellium/linux/Agent.DEB")), QString());
    EXPECT_EQ(verdict(QStringLiteral("https://updates.example.org:8443/downloads/trellium/linux/a.deb")), QString());

    EXPECT_EQ(verdict(QStringLiteral("https://other.example.org/downloads/trellium/linux/a.deb")), refused);
    EXPECT_EQ(verdict(QStringLiteral("http://updates.example.org/downloads/trellium/linux/a.deb")), refused);
    EXPECT_EQ(verdict(QStringLiteral("https://user@updates.example.org/downloads/trellium/linux/a.deb")), refused);
    EXPECT_EQ(verdict(QStringLiteral("https://:pw@updates.example.org/downloads/trellium/linux/a.deb")), refused);
    EXPECT_EQ(verdict(QStringLiteral("https://updates.example.org/downloads/trellium/mac/a.deb")), refused);
    EXPECT_EQ(verdict(QStringLiteral("https://updates.example.org/downloads/trellium/linux/a.pkg")), refused);
    EXPECT_EQ(verdict(QStringLiteral("https://updates.example.org/downloads/trellium/linux/")), refused);
    EXPECT_EQ(verdict(QStringLiteral("https://updates.example.org/downloads/trellium/linux/.deb")), refused);
    // Inside the prefix by its text, outside it once the server resolves it.
    EXPECT_EQ(verdict(QStringLiteral("https://updates.example.org/downloads/trellium/linux/../../private/a.deb")),
              refused);
    EXPECT_EQ(verdict(QStringLiteral("https://updates.example.org/downloads/trellium/linux/%2E%2E/x/a.deb")),
              refused);

    // The Mac build keeps its own folder and package type.
    AgentUpdateManager::Configuration mac = offlineConfiguration();
    mac.platform = AgentUpdateManager::Platform::macOS();
    const AgentUpdateManager macManager(mac);
    AgentLatestManifest manifest = validManifest();
    manifest.platform = QStringLiteral("macos");
    manifest.url = QUrl(QStringLiteral("https://updates.example.org/downloads/trellium/mac/TRELLIUM-Agent.PKG"));
    EXPECT_EQ(rejection(macManager, manifest), QString());
    EXPECT_EQ(macManager.manifestURL().toString(),
              QStringLiteral("https://Updates.Example.org/downloads/trellium/mac/latest.json").toLower());
}

TEST(AgentUpdateManifest, VersionRule)
{
    for (const char *good : {"1.4.2", "2026.1-beta2", "1_0", "v2", "ä.ß", "1"})
        EXPECT_TRUE(AgentUpdateManager::isValidVersionString(QString::fromUtf8(good))) << good;
    for (const char *bad : {"", ".1", "1.", "-1", "1_", "1 2", "1/2", "1..2/..", "1+2", "1\u00a02"})
        EXPECT_FALSE(AgentUpdateManager::isValidVersionString(QString::fromUtf8(bad))) << bad;
    EXPECT_TRUE(AgentUpdateManager::isValidVersionString(QString(64, QLatin1Char('9'))));
    EXPECT_FALSE(AgentUpdateManager::isValidVersionString(QString(65, QLatin1Char('9'))));
    // Characters, not code units: 64 letters with accents are 128 code units.
    QString accented;
    for (int i = 0; i < 64; ++i)
        accented += QStringLiteral("e\u0301");
    EXPECT_TRUE(AgentUpdateManager::isValidVersionString(accented));
    EXPECT_FALSE(AgentUpdateManager::isValidVersionString(accented + QLatin1Char('1')));
    // A trailing separator does not hide behind a combining mark.
    EXPECT_FALSE(AgentUpdateManager::isValidVersionString(QStringLiteral("1.-\u0301")));

    EXPECT_TRUE(AgentUpdateManager::isHexSHA256(QString(32, QLatin1Char('a')) + QString(32, QLatin1Char('F'))));
    EXPECT_FALSE(AgentUpdateManager::isHexSHA256(QString(63, QLatin1Char('a'))));
    EXPECT_FALSE(AgentUpdateManager::isHexSHA256(QString(63, QLatin1Char('a')) + QLatin1Char('g')));
}

TEST(AgentUpdateManifest, RunningBuildNumberAndWhatCountsAsNewer)
{
    EXPECT_EQ(AgentUpdateManager::parseBuildNumber(QStringLiteral("42")), 42);
    EXPECT_EQ(AgentUpdateManager::parseBuildNumber(QStringLiteral("+42")), 42);
    EXPECT_EQ(AgentUpdateManager::parseBuildNumber(QStringLiteral("-3")), -3);
    EXPECT_EQ(AgentUpdateManager::parseBuildNumber(QStringLiteral("9223372036854775807")), INT64_MAX);
    for (const char *bad : {"", "+", "abc", " 42", "42 ", "4 2", "4.2", "0x10", "9223372036854775808", "٣"})
        EXPECT_EQ(AgentUpdateManager::parseBuildNumber(QString::fromUtf8(bad)), 0) << bad;

    AgentUpdateManager::Configuration configuration = offlineConfiguration();
    configuration.buildNumberText = QStringLiteral("not a number");
    EXPECT_EQ(AgentUpdateManager(configuration).currentBuildNumber(), 0);
}

TEST(AgentUpdateManifest, DecodesWithIsoDatesAndIgnoresUnknownKeys)
{
    QJsonObject object{{QStringLiteral("platform"), QStringLiteral("linux")},
                       {QStringLiteral("product"), QStringLiteral("TRELLIUM Agent")},
                       {QStringLiteral("version"), QStringLiteral("1.4.2")},
                       {QStringLiteral("build"), 12},
                       {QStringLiteral("channel"), QStringLiteral("stable")},
                       {QStringLiteral("url"), QStringLiteral("https://h/downloads/trellium/linux/a.deb")},
                       {QStringLiteral("sha256"), QString(64, QLatin1Char('0'))},
                       {QStringLiteral("releaseNotes"), QString()},
                       {QStringLiteral("publishedAt"), QStringLiteral("2026-01-31T09:15:00Z")},
                       {QStringLiteral("minSupportedVersion"), QJsonValue::Null},
                       {QStringLiteral("signature"), QStringLiteral("ignored")}};
    const AgentLatestManifest manifest = AgentLatestManifest::fromJson(QJsonDocument(object).toJson());
    EXPECT_EQ(manifest.build, 12);
    EXPECT_EQ(manifest.publishedAt, QDateTime(QDate(2026, 1, 31), QTime(9, 15), QTimeZone::utc()));
    EXPECT_FALSE(manifest.minSupportedVersion.has_value());

    const auto decodes = [&object](const QString &key, const QJsonValue &value) {
        QJsonObject changed = object;
        if (value.isUndefined())
            changed.remove(key);
        else
            changed.insert(key, value);
        try {
            AgentLatestManifest::fromJson(QJsonDocument(changed).toJson());
            return true;
        } catch (const DecodingError &) {
            return false;
        }
    };
    EXPECT_TRUE(decodes(QStringLiteral("minSupportedVersion"), QJsonValue::Undefined));
    EXPECT_TRUE(decodes(QStringLiteral("minSupportedVersion"), QStringLiteral("1.0")));
    for (const char *required : {"platform", "product", "version", "build", "channel", "url", "sha256",
                                 "releaseNotes", "publishedAt"})
        EXPECT_FALSE(decodes(QString::fromLatin1(required), QJsonValue::Undefined)) << required;
    EXPECT_FALSE(decodes(QStringLiteral("publishedAt"), QStringLiteral("2026-01-31")));
    EXPECT_FALSE(decodes(QStringLiteral("publishedAt"), 800000000));
    EXPECT_FALSE(decodes(QStringLiteral("build"), QStringLiteral("12")));
    EXPECT_FALSE(decodes(QStringLiteral("build"), 1.5));
    EXPECT_FALSE(decodes(QStringLiteral("url"), QString()));
    EXPECT_FALSE(decodes(QStringLiteral("url"), QStringLiteral("https://exa mple.org/a b")));
    EXPECT_THROW(AgentLatestManifest::fromJson("[1]"), DecodingError);
}

class AgentUpdateFiles : public test::DataHomeTest {};

TEST_F(AgentUpdateFiles, FileHashIsReadInPiecesAndComparedIgnoringCase)
{
    // Larger than one read, not a multiple of it.
    QByteArray content(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 % 251);
    const QString path = scratch() + QStringLiteral("/installer.deb");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const QString digest = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());

    EXPECT_TRUE(AgentUpdateManager::sha256OfFile(path, digest));
    EXPECT_TRUE(AgentUpdateManager::sha256OfFile(path, digest.toUpper()));
    QString other = digest;
    other[63] = other[63] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
    EXPECT_FALSE(AgentUpdateManager::sha256OfFile(path, other));
    EXPECT_THROW(AgentUpdateManager::sha256OfFile(scratch() + QStringLiteral("/missing"), digest), FileError);
}
