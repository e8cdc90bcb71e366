#pragma once

#include "host/AgentLatestManifest.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QSslConfiguration>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QNetworkReply;

namespace trellium {

// Lets the agent update itself: fetches the update manifest, checks it, and
// on request downloads the installer it names into the user's Downloads
// folder and hands it to the desktop. Installs nothing itself. Main thread;
// both operations are tasks that suspend while the network works.
class AgentUpdateManager : public QObject {
    Q_OBJECT
public:
    // Where this build's installers live and how the desktop opens one.
    struct Platform {
        QString platform;            // the manifest's `platform` value
        QString downloadPathPrefix;  // every download URL's path starts with it
        QString installerExtension;  // lower case, without the dot
        std::function<QString()> downloadsFolder;
        // True when the desktop took the file.
        std::function<bool(const QString &path)> openInstaller;

        static Platform linux();
        static Platform macOS();
        static Platform current();
    };

    struct Configuration {
        // "host" or "host:port" of the update service; empty: the user-defaults
        // key kUpdateHostKey, else kDefaultUpdateHost, read at each call.
        QString updateHost;
        Platform platform = Platform::current();
        // Unparsed, as compiled in.
        QString buildNumberText;
        int64_t maximumManifestSize = 262144;
        int64_t maximumInstallerSize = 2147483648;
        // Without it the system's trust store decides.
        std::optional<QSslConfiguration> tls;
        // Without a byte arriving for this long a transfer fails.
        std::chrono::milliseconds idleTimeout = std::chrono::seconds(30);
        std::chrono::milliseconds manifestTimeout = std::chrono::seconds(60);
        std::chrono::milliseconds installerTimeout = std::chrono::seconds(1800);

        Configuration();
    };

    static constexpr const char *kUpdateHostKey = "trellium.agent.updateHost";
    static constexpr const char *kDefaultUpdateHost = "updates.trellium.app";
    static constexpr const char *kExpectedProduct = "TRELLIUM Agent";
    static constexpr const char *kExpectedChannel = "stable";

    static AgentUpdateManager &shared();
    explicit AgentUpdateManager(QObject *parent = nullptr);
    explicit AgentUpdateManager(Configuration configuration, QObject *parent = nullptr);
    ~AgentUpdateManager() override;

    // The manifest when it announces a newer build than the running one;
    // nothing when the agent is up to date.
    QCoro::Task<std::optional<AgentLatestManifest>> fetchLatestManifest();
    // Bytes received so far and announced (-1 unknown), on the main thread.
    using ProgressCallback = std::function<void(qint64 received, qint64 expected)>;
    // Saves the verified installer as TRELLIUM-Agent-<version>-<build>.<ext>
    // in the Downloads folder and opens it.
    QCoro::Task<void> downloadInstaller(AgentLatestManifest manifest, ProgressCallback onProgress = {});

    int64_t currentBuildNumber() const;
    QUrl manifestURL() const;
    QString expectedHost() const;
    // Throws AgentUpdateError::invalidManifest naming the first broken rule.
    void validateManifest(const AgentLatestManifest &manifest) const;

    // A decimal integer with an optional sign, within 64 bits; else 0.
    static int64_t parseBuildNumber(const QString &text);
    static bool isValidVersionString(const QString &text);
    static bool isHexSHA256(const QString &text);
    // Hashes the file in pieces of at most 1 MiB and compares, ignoring case.
    // Blocking; throws FileError when the file cannot be read.
    static bool sha256OfFile(const QString &path, const QString &expected);
    // Throws AgentUpdateError::invalidResponse unless the reply is an HTTP
    // 2xx answer over https from the expected URL's host.
    static void validateUpdateResponse(const QNetworkReply &reply, const QUrl &expectedURL);

private:
    QString updateHostSetting() const;

    Configuration m_configuration;
    QNetworkAccessManager m_network;
};

} // namespace trellium
