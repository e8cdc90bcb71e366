#include "host/AgentUpdateError.h"
#include "host/AgentUpdateManager.h"

#include "core/Download.h"
#include "core/Files.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "model/Hex.h"
#include "support/FileSizeLimit.h"
#include "support/HttpTestServer.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>


using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;

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

TEST(AgentUpdateManifest, DownloadAddressMustStayInTheUpdateFolderAndVersionAndNotesCountCharacters)
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

    // Versions and release notes count characters.
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

    manifest = validManifest();
    manifest.releaseNotes.clear();
    for (int i = 0; i < 20000; ++i)
        manifest.releaseNotes += QStringLiteral("e\u0301");
    EXPECT_EQ(rejection(manager, manifest), QString());
    manifest.releaseNotes += QLatin1Char('!');
    EXPECT_EQ(rejection(manager, manifest), QStringLiteral("Release Notes sind zu groß."));
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

class AgentUpdateFiles : public test::DataHomeTest {};

namespace {

const QByteArray kManifestPath = "/downloads/trellium/linux/latest.json";
const QByteArray kInstallerPath = "/downloads/trellium/linux/TRELLIUM-Agent-1.4.2.deb";

// A local update service over https with the test's own certificate authority.
class AgentUpdateNetwork : public DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        m_downloads = scratch(QStringLiteral("Downloads"));
        m_configuration.updateHost = QStringLiteral("127.0.0.1:%1").arg(m_server.port());
        m_configuration.tls = HttpTestServer::clientConfiguration();
        m_configuration.buildNumberText = QStringLiteral("7");
        // A check that is missing would show as a stall, not as the expected error.
        m_configuration.idleTimeout = 20s;
        m_configuration.platform.downloadsFolder = [this]() { return m_downloads; };
        m_configuration.platform.openInstaller = [this](const QString &path) {
            m_opened.append(path);
            return m_openerWorks;
        };
    }

    QJsonObject manifestObject(const QByteArray &installer) const
    {
        return QJsonObject{{QStringLiteral("platform"), QStringLiteral("linux")},
                           {QStringLiteral("product"), QStringLiteral("TRELLIUM Agent")},
                           {QStringLiteral("version"), QStringLiteral("1.4.2")},
                           {QStringLiteral("build"), 8},
                           {QStringLiteral("channel"), QStringLiteral("stable")},
                           {QStringLiteral("url"), m_server.url(QString::fromLatin1(kInstallerPath)).toString()},
                           {QStringLiteral("sha256"), sha256Hex(installer)},
                           {QStringLiteral("releaseNotes"), QStringLiteral("Schneller.")},
                           {QStringLiteral("publishedAt"), QStringLiteral("2026-01-31T09:15:00Z")}};
    }

    void serveManifest(const QJsonObject &object)
    {
        m_server.route(kManifestPath, HttpResponse::ok(QJsonDocument(object).toJson(), "application/json"));
    }

    std::optional<AgentLatestManifest> fetch()
    {
        AgentUpdateManager manager(m_configuration);
        return runSync(manager.fetchLatestManifest(), 60s);
    }

    // The error a fetch fails with, as its text.
    QString fetchFailure() { return errorOf([this] { fetch(); }); }

    void download(const AgentLatestManifest &manifest, AgentUpdateManager::ProgressCallback progress = {})
    {
        AgentUpdateManager manager(m_configuration);
        runSync(manager.downloadInstaller(manifest, std::move(progress)), 60s);
    }

    std::optional<AgentUpdateError::Case> downloadFailure(const AgentLatestManifest &manifest,
                                                          AgentUpdateManager::ProgressCallback progress = {})
    {
        try {
            download(manifest, std::move(progress));
        } catch (const AgentUpdateError &error) {
            return error.errorCase();
        } catch (const std::exception &error) {
            ADD_FAILURE() << "unexpected error: " << error.what();
        }
        return std::nullopt;
    }

    QStringList downloadsFolder() const { return listDirectory(m_downloads); }

    HttpTestServer m_server{HttpTestServer::Scheme::https};
    AgentUpdateManager::Configuration m_configuration;
    QString m_downloads;
    QStringList m_opened;
    bool m_openerWorks = true;
};

} // namespace

TEST_F(AgentUpdateNetwork, ManifestOfANewerBuildIsAnUpdateAndEveryRuleApplies)
{
    // Keys the agent does not know are ignored; minSupportedVersion may be null.
    QJsonObject manifest = manifestObject("installer");
    manifest.insert(QStringLiteral("minSupportedVersion"), QJsonValue::Null);
    manifest.insert(QStringLiteral("signature"), QStringLiteral("ignored"));
    HttpResponse answer = HttpResponse::ok(QJsonDocument(manifest).toJson(), "application/json");
    answer.headers.append(qMakePair(QByteArray("Set-Cookie"), QByteArray("session=1; Path=/")));
    m_server.route(kManifestPath, answer);

    const std::optional<AgentLatestManifest> found = fetch();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->build, 8);
    EXPECT_EQ(found->sha256, sha256Hex(QByteArray("installer")));
    EXPECT_EQ(found->publishedAt, QDateTime(QDate(2026, 1, 31), QTime(9, 15), QTimeZone::utc()));
    EXPECT_FALSE(found->minSupportedVersion.has_value());
    // Equal builds are no update; an unknown running build takes any.
    m_configuration.buildNumberText = QStringLiteral("8");
    EXPECT_FALSE(fetch().has_value());
    m_configuration.buildNumberText = QString();
    EXPECT_TRUE(fetch().has_value());

    // Nothing is kept between requests: no cookie goes back, no cache answers.
    const QList<HttpRequest> requests = m_server.requests();
    ASSERT_EQ(requests.size(), 3);
    for (const HttpRequest &request : requests) {
        EXPECT_TRUE(request.header("cookie").isEmpty());
        EXPECT_EQ(request.header("cache-control"), "no-cache");
        EXPECT_EQ(request.header("accept-encoding"), "identity");
    }

    const QList<std::pair<QJsonObject, QString>> broken{
        {{{QStringLiteral("platform"), QStringLiteral("macOS")}}, QStringLiteral("Falsche Plattform.")},
        {{{QStringLiteral("product"), QStringLiteral("TRELLIUM Agent ")}}, QStringLiteral("Falsches Produkt.")},
        {{{QStringLiteral("channel"), QStringLiteral("Stable")}}, QStringLiteral("Falscher Release-Channel.")},
        {{{QStringLiteral("version"), QStringLiteral("1.4 beta")}}, QStringLiteral("Ungültige Version.")},
        {{{QStringLiteral("build"), 0}}, QStringLiteral("Ungültige Version.")},
        {{{QStringLiteral("releaseNotes"), QString(20001, QLatin1Char('n'))}},
         QStringLiteral("Release Notes sind zu groß.")},
        {{{QStringLiteral("sha256"), QString(64, QLatin1Char('z'))}}, QStringLiteral("Ungültiger SHA-256-Wert.")},
        {{{QStringLiteral("url"), m_server.url(QStringLiteral("/downloads/trellium/mac/a.deb")).toString()}},
         QStringLiteral("Unzulässige Download-URL.")},
        // Two broken rules: the earlier one is named.
        {{{QStringLiteral("channel"), QStringLiteral("beta")}, {QStringLiteral("sha256"), QString()}},
         QStringLiteral("Falscher Release-Channel.")}};
    for (const auto &[changes, reason] : broken) {
        QJsonObject object = manifest;
        for (auto it = changes.begin(); it != changes.end(); ++it)
            object.insert(it.key(), it.value());
        serveManifest(object);
        EXPECT_EQ(fetchFailure(), QStringLiteral("Das Update-Manifest ist ungültig: ") + reason);
    }

    // What does not decode fails the fetch as such.
    const auto decodes = [&manifest](const QString &key, const QJsonValue &value) {
        QJsonObject changed = manifest;
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
    for (const char *required : {"platform", "product", "version", "build", "channel", "url", "sha256",
                                 "releaseNotes", "publishedAt"})
        EXPECT_FALSE(decodes(QString::fromLatin1(required), QJsonValue::Undefined)) << required;
    EXPECT_FALSE(decodes(QStringLiteral("publishedAt"), QStringLiteral("2026-01-31")));
    EXPECT_FALSE(decodes(QStringLiteral("build"), 1.5));
    EXPECT_FALSE(decodes(QStringLiteral("url"), QStringLiteral("https://exa mple.org/a b")));
    EXPECT_THROW(AgentLatestManifest::fromJson("[1]"), DecodingError);
    QJsonObject undecodable = manifest;
    undecodable.remove(QStringLiteral("publishedAt"));
    serveManifest(undecodable);
    AgentUpdateManager manager(m_configuration);
    EXPECT_THROW(runSync(manager.fetchLatestManifest(), 60s), DecodingError);
}

TEST_F(AgentUpdateNetwork, UnusableManifestAnswersAreRefusedWithoutReadingThemWhole)
{
    const QString invalidResponse = AgentUpdateError::invalidResponse().localizedDescription();
    const QString tooLarge = QStringLiteral("Das Update-Manifest ist ungültig: Datei ist zu groß.");

    m_server.route(kManifestPath, HttpResponse::withStatus(404, "nicht hier"));
    EXPECT_EQ(fetchFailure(), invalidResponse);

    // A redirect to another host is refused before anything is sent there.
    HttpTestServer elsewhere(HttpTestServer::Scheme::https);
    elsewhere.route(kManifestPath, HttpResponse::ok(QJsonDocument(manifestObject("x")).toJson()));
    m_server.route(kManifestPath,
                   HttpResponse::redirect("https://localhost:" + QByteArray::number(elsewhere.port()) + kManifestPath));
    LogCapture log;
    EXPECT_EQ(fetchFailure(), invalidResponse);
    EXPECT_EQ(elsewhere.requests().size(), 0);
    EXPECT_TRUE(log.contains(QStringLiteral("UPDATE REDIRECT REFUSED:")));
    // One on the same host is followed.
    m_server.route("/moved.json", HttpResponse::ok(QJsonDocument(manifestObject("x")).toJson()));
    m_server.route(kManifestPath, HttpResponse::redirect("/moved.json", 301));
    EXPECT_TRUE(fetch().has_value());

    // 300 KiB announced: refused at the headers; the body never comes.
    HttpResponse announced = HttpResponse::ok(QByteArray(300 * 1024, ' '));
    announced.stallAfter = 0;
    m_server.route(kManifestPath, announced);
    EXPECT_EQ(fetchFailure(), tooLarge);
    // Unannounced: refused once more than 256 KiB arrived, not at the end.
    HttpResponse unannounced = announced;
    unannounced.chunked = true;
    unannounced.stallAfter = 270 * 1024;
    m_server.route(kManifestPath, unannounced);
    EXPECT_EQ(fetchFailure(), tooLarge);

    // Exactly at the limit is still read.
    QByteArray padded = QJsonDocument(manifestObject("x")).toJson(QJsonDocument::Compact);
    padded += QByteArray(262144 - padded.size(), ' ');
    m_server.route(kManifestPath, HttpResponse::ok(padded));
    EXPECT_TRUE(fetch().has_value());
    padded += ' ';
    m_server.route(kManifestPath, HttpResponse::ok(padded));
    EXPECT_EQ(fetchFailure(), tooLarge);
}

TEST_F(AgentUpdateNetwork, VerifiedInstallerIsSavedInDownloadsAndOpened)
{
    const QByteArray first = randomBytes(3 * 1024 * 1024 + 5, 'a');
    m_server.route(kInstallerPath, HttpResponse::ok(first));
    AgentLatestManifest manifest = AgentLatestManifest::fromJson(QJsonDocument(manifestObject(first)).toJson());
    // The checksum may be published in capitals.
    manifest.sha256 = manifest.sha256.toUpper();
    qint64 lastProgress = 0;
    download(manifest, [&lastProgress](qint64 received, qint64) { lastProgress = received; });

    const QString saved = m_downloads + QStringLiteral("/TRELLIUM-Agent-1.4.2-8.deb");
    EXPECT_EQ(downloadsFolder(), QStringList{QStringLiteral("TRELLIUM-Agent-1.4.2-8.deb")});
    EXPECT_EQ(sha256Hex(readWholeFile(saved)), sha256Hex(first));
    EXPECT_EQ(m_opened, QStringList{saved});
    EXPECT_EQ(lastProgress, first.size());

    // The same version again replaces the earlier file.
    const QByteArray second = randomBytes(1000, 'b');
    m_server.route(kInstallerPath, HttpResponse::ok(second));
    manifest.sha256 = sha256Hex(second);
    download(manifest);
    EXPECT_EQ(readWholeFile(saved), second);
    EXPECT_EQ(downloadsFolder().size(), 1);

    // A desktop that cannot open it leaves it where the error says.
    m_openerWorks = false;
    AgentUpdateManager manager(m_configuration);
    try {
        runSync(manager.downloadInstaller(manifest), 60s);
        ADD_FAILURE() << "opener failure not reported";
    } catch (const AgentUpdateError &error) {
        EXPECT_EQ(error.errorCase(), AgentUpdateError::Case::installerCouldNotBeOpened);
        EXPECT_EQ(error.installerPath(), saved);
    }
    EXPECT_EQ(readWholeFile(saved), second);
    EXPECT_EQ(downloadsFolder(), QStringList{QStringLiteral("TRELLIUM-Agent-1.4.2-8.deb")});
}

TEST_F(AgentUpdateNetwork, FailedInstallerDownloadsLeaveNothingBehind)
{
    const QByteArray installer = randomBytes(64 * 1024, 'c');
    const AgentLatestManifest manifest =
        AgentLatestManifest::fromJson(QJsonDocument(manifestObject(installer)).toJson());
    using Case = AgentUpdateError::Case;
    // What the settings window shows for each failure.
    const std::vector<std::pair<AgentUpdateError, const char *>> texts{
        {AgentUpdateError::invalidManifest(QStringLiteral("Datei ist zu groß.")),
         "Das Update-Manifest ist ungültig: Datei ist zu groß."},
        {AgentUpdateError::invalidResponse(), "Der Update-Server hat keine gültige Antwort geliefert."},
        {AgentUpdateError::downloadTooLarge(), "Der Installer überschreitet die erlaubte Dateigröße."},
        {AgentUpdateError::verificationFailed(), "Die Update-Datei konnte nicht verifiziert werden."},
        {AgentUpdateError::installerCouldNotBeOpened(QStringLiteral("/x.deb")), "Der Installer konnte nicht geöffnet werden."}};
    for (const auto &[error, text] : texts)
        EXPECT_EQ(error.localizedDescription(), QString::fromUtf8(text));

    // Wrong content.
    m_server.route(kInstallerPath, HttpResponse::ok(randomBytes(64 * 1024, 'd')));
    EXPECT_EQ(downloadFailure(manifest), Case::verificationFailed);
    EXPECT_TRUE(downloadsFolder().isEmpty());

    // Nothing at all.
    m_server.route(kInstallerPath, HttpResponse::ok(QByteArray()));
    EXPECT_EQ(downloadFailure(manifest), Case::downloadTooLarge);

    // 3 GB announced: refused at the headers, long before 2 MiB arrived.
    const QString huge = scratch() + QStringLiteral("/huge.deb");
    {
        QFile sparse(huge);
        ASSERT_TRUE(sparse.open(QIODevice::WriteOnly));
        ASSERT_TRUE(sparse.resize(qint64(3) * 1000 * 1000 * 1000));
    }
    HttpResponse announced = HttpResponse::file(huge, false);
    announced.stallAfter = 1024 * 1024;
    m_server.route(kInstallerPath, announced);
    qint64 received = 0;
    const auto count = [&received](qint64 bytes, qint64) { received = bytes; };
    EXPECT_EQ(downloadFailure(manifest, count), Case::downloadTooLarge);
    EXPECT_LT(received, 2 * 1024 * 1024);

    // Unannounced and longer than allowed: stopped at the limit, not at the end.
    m_configuration.maximumInstallerSize = 4 * 1024 * 1024;
    HttpResponse unannounced = announced;
    unannounced.chunked = true;
    unannounced.stallAfter = 6 * 1024 * 1024;
    m_server.route(kInstallerPath, unannounced);
    EXPECT_EQ(downloadFailure(manifest, count), Case::downloadTooLarge);
    EXPECT_LE(received, m_configuration.maximumInstallerSize);

    // Redirects elsewhere and error answers are invalid responses.
    HttpTestServer elsewhere(HttpTestServer::Scheme::https);
    elsewhere.route(kInstallerPath, HttpResponse::ok(installer));
    m_server.route(kInstallerPath,
                   HttpResponse::redirect("https://localhost:" + QByteArray::number(elsewhere.port()) + kInstallerPath));
    EXPECT_EQ(downloadFailure(manifest), Case::invalidResponse);
    EXPECT_EQ(elsewhere.requests().size(), 0);
    m_server.route(kInstallerPath, HttpResponse::withStatus(500));
    EXPECT_EQ(downloadFailure(manifest), Case::invalidResponse);

    // A manifest that breaks a rule loads nothing.
    AgentLatestManifest outside = manifest;
    outside.url = m_server.url(QStringLiteral("/private/TRELLIUM-Agent.deb"));
    const int before = m_server.requests().size();
    EXPECT_EQ(downloadFailure(outside), Case::invalidManifest);
    EXPECT_EQ(m_server.requests().size(), before);

    // The disk refuses more after 1 MiB: the write fails and its part goes.
    m_server.route(kInstallerPath, HttpResponse::ok(randomBytes(3 * 1024 * 1024, 'e')));
    {
        FileSizeLimit diskFull(1024 * 1024);
        EXPECT_THROW(download(manifest), FileError);
    }

    EXPECT_TRUE(downloadsFolder().isEmpty());
    EXPECT_TRUE(m_opened.isEmpty());
}

namespace {
// Stands in for the desktop's opener.
class DesktopOpener : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};
} // namespace

TEST_F(AgentUpdateFiles, LinuxBuildSavesDebPackagesAndHandsThemToTheDesktop)
{
    const AgentUpdateManager::Platform linux = AgentUpdateManager::Platform::linux();
    EXPECT_EQ(AgentUpdateManager(offlineConfiguration()).manifestURL(),
              QUrl(QStringLiteral("https://updates.example.org/downloads/trellium/linux/latest.json")));

    DesktopOpener desktop;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &desktop, "open");
    const QString installer = scratch() + QStringLiteral("/TRELLIUM-Agent-1.0-2.deb");
    EXPECT_TRUE(linux.openInstaller(installer));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    EXPECT_EQ(desktop.opened, QList<QUrl>{QUrl::fromLocalFile(installer)});

    // The host comes from the settings when the configuration names none.
    AgentUpdateManager::Configuration fromSettings;
    userDefaults()->setValue(QLatin1String(AgentUpdateManager::kUpdateHostKey), QStringLiteral(" Mirror.Example.net:8443 "));
    EXPECT_EQ(AgentUpdateManager(fromSettings).manifestURL().toString(),
              QStringLiteral("https://mirror.example.net:8443/downloads/trellium/linux/latest.json"));
    userDefaults()->setValue(QLatin1String(AgentUpdateManager::kUpdateHostKey), QStringLiteral("evil.example/x?y"));
    EXPECT_THROW(AgentUpdateManager(fromSettings).manifestURL(), DomainError);
    userDefaults()->remove(QLatin1String(AgentUpdateManager::kUpdateHostKey));
    EXPECT_EQ(AgentUpdateManager(fromSettings).expectedHost(), QLatin1String(AgentUpdateManager::kDefaultUpdateHost));
}

#include "AgentUpdateManagerTest.moc"
