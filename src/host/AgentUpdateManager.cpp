#include "host/AgentUpdateManager.h"

#include "core/Async.h"
#include "core/BuildInfo.h"
#include "core/Download.h"
#include "core/Files.h"
#include "core/Log.h"
#include "core/PartialItem.h"
#include "core/Settings.h"
#include "core/Text.h"
#include "host/AgentUpdateError.h"
#include "model/Hex.h"
#include "platform/desktop/DesktopOpener.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QTextBoundaryFinder>

#include <cerrno>
#include <cstdio>

namespace trellium {

namespace {

constexpr qint64 kHashReadBytes = 1024 * 1024;
constexpr qsizetype kMaximumReleaseNotesCharacters = 20000;
constexpr qsizetype kMaximumVersionCharacters = 64;

QString defaultDownloadsFolder()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return folder.isEmpty() ? QDir::homePath() + QStringLiteral("/Downloads") : folder;
}

bool openWithDesktop(const QString &path)
{
    // The desktop opener needs the GUI application; a headless agent has none.
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return false;
    return DesktopOpener::standard().openUrl(QUrl::fromLocalFile(path));
}

bool isAlphanumeric(char32_t codePoint)
{
    switch (QChar::category(codePoint)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
    case QChar::Number_DecimalDigit:
    case QChar::Number_Letter:
    case QChar::Number_Other:
        return true;
    default:
        return false;
    }
}

bool isAlphanumeric(QStringView text)
{
    const QList<uint> codePoints = text.toUcs4();
    return std::all_of(codePoints.begin(), codePoints.end(), [](uint c) { return isAlphanumeric(char32_t(c)); });
}

std::optional<int> httpStatus(const QNetworkReply &reply)
{
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return std::nullopt;
    return status.toInt();
}

} // namespace

AgentUpdateManager::Platform AgentUpdateManager::Platform::linux()
{
    return Platform{QStringLiteral("linux"), QStringLiteral("/downloads/trellium/linux/"), QStringLiteral("deb"),
                    defaultDownloadsFolder, openWithDesktop};
}

AgentUpdateManager::Platform AgentUpdateManager::Platform::macOS()
{
    return Platform{QStringLiteral("macos"), QStringLiteral("/downloads/trellium/mac/"), QStringLiteral("pkg"),
                    defaultDownloadsFolder, openWithDesktop};
}

AgentUpdateManager::Platform AgentUpdateManager::Platform::current()
{
#if defined(Q_OS_MACOS)
    return macOS();
#else
    return linux();
#endif
}

AgentUpdateManager::Configuration::Configuration() : buildNumberText(agentBuildNumberText()) {}

AgentUpdateManager &AgentUpdateManager::shared()
{
    static AgentUpdateManager *manager = new AgentUpdateManager();
    return *manager;
}

AgentUpdateManager::AgentUpdateManager(QObject *parent) : AgentUpdateManager(Configuration(), parent) {}

AgentUpdateManager::AgentUpdateManager(Configuration configuration, QObject *parent)
    : QObject(parent), m_configuration(std::move(configuration))
{
    // No cache, no cookies, no stored credentials; redirects are ours to judge.
    m_network.setCache(nullptr);
    m_network.setStrictTransportSecurityEnabled(false);
    m_network.setAutoDeleteReplies(false);
}

AgentUpdateManager::~AgentUpdateManager() = default;

QString AgentUpdateManager::updateHostSetting() const
{
    if (!m_configuration.updateHost.isEmpty())
        return m_configuration.updateHost;
    const QString stored = userDefaults()->value(QLatin1String(kUpdateHostKey)).toString().trimmed();
    return stored.isEmpty() ? QString::fromLatin1(kDefaultUpdateHost) : stored;
}

QUrl AgentUpdateManager::manifestURL() const
{
    const QString host = updateHostSetting();
    const QUrl base(QStringLiteral("https://") + host, QUrl::StrictMode);
    if (!base.isValid() || base.host().isEmpty() || !base.path().isEmpty() || !base.userInfo().isEmpty()
        || base.hasQuery() || base.hasFragment())
        throw DomainError(QStringLiteral("AgentUpdate"), 1,
                          QStringLiteral("Die Adresse des Update-Servers „%1“ ist ungültig.").arg(host));
    QUrl url = base;
    url.setPath(m_configuration.platform.downloadPathPrefix + QStringLiteral("latest.json"));
    return url;
}

QString AgentUpdateManager::expectedHost() const
{
    return manifestURL().host().toLower();
}

int64_t AgentUpdateManager::currentBuildNumber() const
{
    return parseBuildNumber(m_configuration.buildNumberText);
}

int64_t AgentUpdateManager::parseBuildNumber(const QString &text)
{
    QStringView digits(text);
    if (!digits.isEmpty() && (digits.front() == QLatin1Char('+') || digits.front() == QLatin1Char('-')))
        digits = digits.mid(1);
    if (digits.isEmpty()
        || !std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return 0;
    bool ok = false;
    // The sign goes along; toLongLong alone would also take blanks.
    const qlonglong value = text.toLongLong(&ok, 10);
    return ok ? int64_t(value) : 0;
}

bool AgentUpdateManager::isValidVersionString(const QString &text)
{
    if (text.isEmpty() || characterCount(text) > kMaximumVersionCharacters)
        return false;
    const QList<uint> codePoints = text.toUcs4();
    for (const uint c : codePoints) {
        if (!isAlphanumeric(char32_t(c)) && c != '.' && c != '_' && c != '-')
            return false;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    const qsizetype firstEnd = finder.toNextBoundary();
    finder.toEnd();
    const qsizetype lastStart = finder.toPreviousBoundary();
    return isAlphanumeric(QStringView(text).left(firstEnd)) && isAlphanumeric(QStringView(text).mid(lastStart));
}

bool AgentUpdateManager::isHexSHA256(const QString &text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
           });
}

void AgentUpdateManager::validateManifest(const AgentLatestManifest &manifest) const
{
    const Platform &platform = m_configuration.platform;
    if (manifest.platform != platform.platform)
        throw AgentUpdateError::invalidManifest(QStringLiteral("Falsche Plattform."));
    if (manifest.product != QLatin1String(kExpectedProduct))
        throw AgentUpdateError::invalidManifest(QStringLiteral("Falsches Produkt."));
    if (manifest.channel != QLatin1String(kExpectedChannel))
        throw AgentUpdateError::invalidManifest(QStringLiteral("Falscher Release-Channel."));
    if (manifest.build < 1 || !isValidVersionString(manifest.version))
        throw AgentUpdateError::invalidManifest(QStringLiteral("Ungültige Version."));
    // Cheap first: a text never has more characters than code units.
    if (manifest.releaseNotes.size() > kMaximumReleaseNotesCharacters
        && characterCount(manifest.releaseNotes) > kMaximumReleaseNotesCharacters)
        throw AgentUpdateError::invalidManifest(QStringLiteral("Release Notes sind zu groß."));
    if (!isHexSHA256(manifest.sha256))
        throw AgentUpdateError::invalidManifest(QStringLiteral("Ungültiger SHA-256-Wert."));

    const QUrl &url = manifest.url;
    const QString path = url.path(QUrl::FullyDecoded);
    const QString fileName = path.section(QLatin1Char('/'), -1);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot > 0 ? fileName.mid(dot + 1).toLower() : QString();
    // A "." or ".." segment would lead out of the download folder on the server.
    const QStringList segments = path.split(QLatin1Char('/'));
    const bool climbs = segments.contains(QStringLiteral(".")) || segments.contains(QStringLiteral(".."));
    const bool allowed = url.scheme().toLower() == QLatin1String("https") && !url.host().isEmpty()
        && url.host().toLower() == expectedHost() && url.userName().isEmpty() && url.password().isEmpty()
        && path.startsWith(platform.downloadPathPrefix) && !climbs && extension == platform.installerExtension;
    if (!allowed)
        throw AgentUpdateError::invalidManifest(QStringLiteral("Unzulässige Download-URL."));
}

void AgentUpdateManager::validateUpdateResponse(const QNetworkReply &reply, const QUrl &expectedURL)
{
    const std::optional<int> status = httpStatus(reply);
    const QUrl finalURL = reply.url();
    const bool sameHost = finalURL.host().isEmpty() == expectedURL.host().isEmpty()
        && finalURL.host().toLower() == expectedURL.host().toLower();
    if (status && *status >= 200 && *status <= 299 && finalURL.scheme().toLower() == QLatin1String("https")
        && sameHost)
        return;
    logLine(QStringLiteral("UPDATE RESPONSE INVALID:"),
            QStringLiteral("HTTP %1 %2")
                .arg(status ? QString::number(*status) : QStringLiteral("-"), finalURL.toString()));
    throw AgentUpdateError::invalidResponse();
}

bool AgentUpdateManager::sha256OfFile(const QString &path, const QString &expected)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("Lesen"), path, file.errorString());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (;;) {
        const QByteArray piece = file.read(kHashReadBytes);
        if (file.error() != QFileDevice::NoError)
            throw FileError(QStringLiteral("Lesen"), path, file.errorString());
        if (piece.isEmpty())
            break;
        hash.addData(piece);
    }
    file.close();
    return hexString(hash.result()).join(QString()).compare(expected, Qt::CaseInsensitive) == 0;
}

namespace {

QNetworkRequest updateRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("Pragma", "no-cache");
    return request;
}

// Both transfers: the answer must come over https from the expected URL's
// host, and a redirect elsewhere is refused before anything is sent there.
DownloadOptions updateTransfer(const QUrl &expectedURL, const AgentUpdateManager::Configuration &configuration)
{
    DownloadOptions options;
    options.idleTimeout = configuration.idleTimeout;
    options.tlsConfiguration = configuration.tls;
    options.checkResponse = [expectedURL](const QNetworkReply &reply) {
        AgentUpdateManager::validateUpdateResponse(reply, expectedURL);
    };
    const QString host = expectedURL.host().toLower();
    options.checkRedirect = [host](const QUrl &target) {
        if (target.scheme().toLower() != QLatin1String("https") || target.host().toLower() != host) {
            logLine(QStringLiteral("UPDATE REDIRECT REFUSED:"), target.toString(QUrl::RemoveUserInfo));
            throw AgentUpdateError::invalidResponse();
        }
    };
    return options;
}

// A redirect that was not followed ends as the answer; it is not one.
void requireSuccess(const DownloadResult &result)
{
    if (result.status >= 200 && result.status <= 299)
        return;
    logLine(QStringLiteral("UPDATE RESPONSE INVALID:"),
            QStringLiteral("HTTP %1 %2").arg(result.status).arg(result.url.toString(QUrl::RemoveUserInfo)));
    throw AgentUpdateError::invalidResponse();
}

bool isTooLarge(const DownloadError &error)
{
    return error.reason() == DownloadError::Reason::tooLarge;
}

} // namespace

QCoro::Task<std::optional<AgentLatestManifest>> AgentUpdateManager::fetchLatestManifest()
{
    const QUrl url = manifestURL();
    DownloadOptions options = updateTransfer(url, m_configuration);
    options.maximumBytes = m_configuration.maximumManifestSize;
    options.totalTimeout = m_configuration.manifestTimeout;
    DownloadResult result;
    try {
        result = co_await downloadToMemory(&m_network, updateRequest(url), options);
    } catch (const DownloadError &error) {
        if (isTooLarge(error))
            throw AgentUpdateError::invalidManifest(QStringLiteral("Datei ist zu groß."));
        throw;
    }
    requireSuccess(result);

    AgentLatestManifest manifest = AgentLatestManifest::fromJson(result.body);
    validateManifest(manifest);
    if (manifest.build > currentBuildNumber())
        co_return manifest;
    co_return std::nullopt;
}

QCoro::Task<void> AgentUpdateManager::downloadInstaller(AgentLatestManifest manifest, ProgressCallback onProgress)
{
    validateManifest(manifest);
    const Platform &platform = m_configuration.platform;
    const int64_t limit = m_configuration.maximumInstallerSize;
    const QString folder = platform.downloadsFolder();
    createDirectories(folder);
    const QString fileName = QStringLiteral("TRELLIUM-Agent-%1-%2.%3")
                                 .arg(manifest.version, QString::number(manifest.build), platform.installerExtension);
    const QString target = folder + QLatin1Char('/') + fileName;

    // Beside the target until verified, so that the final move is a rename
    // on one file system; removed on every failure and on quit.
    PartialItem unverified(target);

    DownloadOptions options = updateTransfer(manifest.url, m_configuration);
    options.maximumBytes = limit;
    options.totalTimeout = m_configuration.installerTimeout;
    options.onProgress = std::move(onProgress);
    try {
        requireSuccess(co_await downloadToFile(&m_network, updateRequest(manifest.url), unverified.path(), options));
    } catch (const DownloadError &error) {
        if (isTooLarge(error))
            throw AgentUpdateError::downloadTooLarge();
        throw;
    }

    const int64_t size = fileSize(unverified.path());
    if (size < 1 || size > limit)
        throw AgentUpdateError::downloadTooLarge();

    const QString path = unverified.path();
    const QString expected = manifest.sha256;
    const auto hashFile = [path, expected]() { return sha256OfFile(path, expected); };
    if (!co_await runOnWorker(hashFile))
        throw AgentUpdateError::verificationFailed();

    // rename() replaces an earlier download of the same version in one step.
    const auto moveIntoPlace = [path, target]() {
        if (std::rename(QFile::encodeName(path).constData(), QFile::encodeName(target).constData()) != 0)
            throw FileError::fromErrno(QStringLiteral("Verschieben"), target, errno);
    };
    co_await runOnWorker(moveIntoPlace);
    unverified.keep();

    logLine(QStringLiteral("UPDATE INSTALLER SAVED:"), target);
    if (!platform.openInstaller(target))
        throw AgentUpdateError::installerCouldNotBeOpened(target);
}

} // namespace trellium
