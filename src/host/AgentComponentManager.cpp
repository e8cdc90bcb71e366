#include "host/AgentComponentManager.h"

#include "core/Download.h"
#include "core/Files.h"
#include "core/Log.h"
#include "core/PartialItem.h"
#include "core/Process.h"
#include "host/ComponentError.h"
#include "host/ComponentFiles.h"
#include "host/PropertyList.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QProcess>
#include <QStringDecoder>
#include <QUuid>

#include <sys/stat.h>

namespace trellium {

namespace {

using Kind = AgentComponentManager::State::Kind;

const QString kBlenderFolder = QStringLiteral("Blender");
const QString kXcodeGenFolder = QStringLiteral("XcodeGen");
const QString kBlenderID = QStringLiteral("blender");
const QString kXcodeGenID = QStringLiteral("xcodegen");
const QString kBlenderDownloadSite = QStringLiteral("download.blender.org");
const QString kHomebrewSite = QStringLiteral("https://brew.sh");
const QString kXcodeGenTool = QStringLiteral("xcodegen/bin/xcodegen");

// XcodeGen's archive holds a macOS program: it can be installed only where
// macOS programs run.
#if defined(Q_OS_MACOS)
constexpr bool kRunsMacPrograms = true;
#else
constexpr bool kRunsMacPrograms = false;
#endif

// Bounds for the outside tools: copying and verifying a 1 GB application
// takes minutes, Homebrew builds can take long.
constexpr auto kDiskImageTimeout = std::chrono::minutes(5);
constexpr auto kCopyTimeout = std::chrono::minutes(30);
constexpr auto kUnpackTimeout = std::chrono::minutes(10);
constexpr auto kToolCheckTimeout = std::chrono::minutes(1);
constexpr auto kHomebrewTimeout = std::chrono::minutes(90);
// A body beyond twice the announced size (plus this) is not the artifact:
// the download stops there instead of filling the disk before the checksum.
constexpr int64_t kDownloadSlackBytes = 1024 * 1024;

// Installer steps go on only while the manager lives.
void requireAlive(const QPointer<AgentComponentManager> &self)
{
    if (!self)
        throw CancelledError();
}

QString homebrewHint()
{
    return QStringLiteral("Installiere zunächst Homebrew über ") + kHomebrewSite + QLatin1Char('.');
}

// The platform's file-size style in the user's language: "308,3 MB".
QString formattedByteCount(int64_t bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

std::optional<QString> strictUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

bool isPythonComplete(const PythonComponentProbeResult &probe)
{
    const bool recent = probe.major > 3 || (probe.major == 3 && probe.minor >= 11);
    return recent && probe.hasVenv && probe.hasPip && probe.hasEnsurePip;
}

bool existsFollowingLinks(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0;
}

} // namespace

AgentComponentManager::State AgentComponentManager::State::failed(QString message)
{
    State state(Kind::failed);
    state.m_message = std::move(message);
    return state;
}

bool AgentComponentManager::State::isBusy() const
{
    return m_kind == Kind::downloading || m_kind == Kind::verifying || m_kind == Kind::installing;
}

bool AgentComponentManager::State::operator==(const State &other) const
{
    return m_kind == other.m_kind && (m_kind != Kind::failed || m_message == other.m_message);
}

struct AgentComponentManager::Snapshot {
    std::array<ToolStatus, kToolCount> tools;
    std::optional<QString> installedVersion;
    std::optional<PythonComponentProbeResult> pythonProbeResult;
};

AgentComponentManager &AgentComponentManager::shared()
{
    static auto *manager = new AgentComponentManager();
    return *manager;
}

AgentComponentManager::AgentComponentManager() : AgentComponentManager(Dependencies{}) {}

AgentComponentManager::AgentComponentManager(Dependencies dependencies, QObject *parent)
    : QObject(parent), m_dependencies(std::move(dependencies))
{
    startDetached(refreshStatus(), QStringLiteral("Component status refresh"));
}

AgentComponentManager::~AgentComponentManager() = default;

QNetworkAccessManager *AgentComponentManager::network()
{
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    return m_network;
}

QString AgentComponentManager::temporaryDirectory() const
{
    return m_dependencies.temporaryDirectory.isEmpty() ? QDir::tempPath() : m_dependencies.temporaryDirectory;
}

QString AgentComponentManager::componentsDirectory()
{
    return applicationSupportRoot() + QStringLiteral("/Components");
}

QString AgentComponentManager::componentDirectory(const QString &folder, const QString &id) const
{
    const auto component = componentWithID(id);
    return componentsDirectory() + QLatin1Char('/') + folder + QLatin1Char('/')
        + (component ? component->version : QString());
}

QString AgentComponentManager::blenderExecutablePath() const
{
    return componentDirectory(kBlenderFolder, kBlenderID) + QStringLiteral("/Blender.app/Contents/MacOS/Blender");
}

QString AgentComponentManager::xcodeGenExecutablePath() const
{
    return componentDirectory(kXcodeGenFolder, kXcodeGenID) + QStringLiteral("/xcodegen/bin/xcodegen");
}

std::optional<QString> AgentComponentManager::qemuImgPath() const
{
    return ComponentToolTable::firstExecutable(tools().qemuImg, componentsDirectory());
}

std::optional<QString> AgentComponentManager::python3Path() const
{
    return ComponentToolTable::firstExecutable(tools().python3, componentsDirectory());
}

std::optional<QString> AgentComponentManager::homebrewPath() const
{
    return ComponentToolTable::firstExecutable(tools().homebrew, componentsDirectory());
}

bool AgentComponentManager::isBlenderInstalled() const
{
    return ComponentToolTable::isExecutableFile(blenderExecutablePath());
}

bool AgentComponentManager::isXcodeGenInstalled() const
{
    return ComponentToolTable::isExecutableFile(xcodeGenExecutablePath());
}

bool AgentComponentManager::needsSetup() const
{
    return !isBlenderInstalled() || !isXcodeGenInstalled();
}

bool AgentComponentManager::canInstallMissingComponents() const
{
    const ComponentToolTable &table = tools();
    const auto hasArtifact = [this](const QString &id) {
        const auto component = componentWithID(id);
        return component && component->artifact(agentArchitecture()).has_value();
    };
    const bool blender = !isBlenderInstalled() && hasArtifact(kBlenderID)
        && ComponentToolTable::isExecutableFile(table.hdiutil) && ComponentToolTable::isExecutableFile(table.ditto)
        && ComponentToolTable::isExecutableFile(table.codesign);
    const bool xcodeGen = !isXcodeGenInstalled() && kRunsMacPrograms && hasArtifact(kXcodeGenID)
        && ComponentToolTable::isExecutableFile(table.unzip);
    return blender || xcodeGen;
}

QCoro::Task<QString> AgentComponentManager::blenderExecutableURL()
{
    co_await refreshStatus();
    if (!isBlenderInstalled())
        throw ComponentError::notInstalled();
    co_return blenderExecutablePath();
}

QCoro::Task<QString> AgentComponentManager::xcodeGenExecutableURL()
{
    co_await refreshStatus();
    if (!isXcodeGenInstalled())
        throw ComponentError::xcodeGenNotInstalled();
    co_return xcodeGenExecutablePath();
}

QCoro::Task<QString> AgentComponentManager::validatedPythonURL()
{
    co_await refreshStatus();
    const auto path = python3Path();
    if (!path || !m_pythonProbeResult || !isPythonComplete(*m_pythonProbeResult))
        throw ComponentError::pythonIncomplete();
    co_return *path;
}

void AgentComponentManager::publishProgress(Tool tool, State state, QString detail)
{
    m_lastWrite[size_t(tool)] = ++m_clock;
    publish(tool, std::move(state), std::move(detail));
}

void AgentComponentManager::publish(Tool tool, State state, QString detail)
{
    const size_t i = size_t(tool);
    if (m_states[i] == state && m_details[i] == detail)
        return;
    m_states[i] = std::move(state);
    m_details[i] = std::move(detail);
    emit changed();
}

AgentComponentManager::Snapshot AgentComponentManager::evaluateFiles() const
{
    Snapshot snapshot;
    const QString architecture = enumName(agentArchitecture());

    auto &blender = snapshot.tools[size_t(Tool::blender)];
    if (!isBlenderInstalled()) {
        blender = {Kind::notInstalled, QStringLiteral("Für 3D-Konvertierungen erforderlich")};
    } else {
        std::optional<InstalledAgentComponent> receipt;
        try {
            const QString path = componentDirectory(kBlenderFolder, kBlenderID) + QStringLiteral("/receipt.json");
            receipt = InstalledAgentComponent::decodeReceipt(readWholeFile(path));
        } catch (const std::exception &) {
            // Missing or damaged: the manifest's version stands in.
        }
        const auto component = componentWithID(kBlenderID);
        snapshot.installedVersion = receipt ? receipt->version : (component ? component->version : QString());
        blender = {Kind::installed, QStringLiteral("Blender ") + *snapshot.installedVersion
                                        + QStringLiteral(" · ") + architecture};
    }

    auto &xcodeGen = snapshot.tools[size_t(Tool::xcodeGen)];
    if (!isXcodeGenInstalled()) {
        xcodeGen = {Kind::notInstalled, QStringLiteral("Für das Erzeugen neuer Xcode-Projekte erforderlich")};
    } else {
        const auto component = componentWithID(kXcodeGenID);
        xcodeGen = {Kind::installed, QStringLiteral("XcodeGen ") + (component ? component->version : QString())
                                         + QStringLiteral(" · Universal Binary")};
    }

    auto &qemu = snapshot.tools[size_t(Tool::qemu)];
    if (const auto path = qemuImgPath())
        qemu = {Kind::installed, *path};
    else
        qemu = {Kind::notInstalled, QStringLiteral("Für die Umwandlung heruntergeladener Linux-Images erforderlich")};

    auto &xcode = snapshot.tools[size_t(Tool::xcode)];
    if (const auto path = ComponentToolTable::firstExisting(tools().xcodeApplications, componentsDirectory()))
        xcode = {Kind::installed, *path};
    else
        xcode = {Kind::notInstalled, QStringLiteral("Für iOS- und macOS-Builds erforderlich")};
    return snapshot;
}

QCoro::Task<void> AgentComponentManager::refreshStatus()
{
    co_await refresh(false);
}

QCoro::Task<void> AgentComponentManager::refresh(bool keepFailuresWhileMissing)
{
    QPointer<AgentComponentManager> self(this);
    const uint64_t started = ++m_clock;
    Snapshot snapshot = evaluateFiles();

    const auto python = python3Path();
    std::optional<PythonComponentProbeResult> probe;
    if (python)
        probe = co_await probePythonInterpreter(*python);
    if (!self)
        co_return;
    auto &pythonStatus = snapshot.tools[size_t(Tool::python)];
    snapshot.pythonProbeResult = probe;
    if (!probe) {
        pythonStatus = {Kind::notInstalled,
                        QStringLiteral("Für Python-Projekte, virtuelle Umgebungen und Tests erforderlich")};
    } else if (isPythonComplete(*probe)) {
        pythonStatus = {Kind::installed, QStringLiteral("Python ") + probe->version
                                             + QStringLiteral(" · venv · pip · ensurepip · ") + *python};
    } else {
        QStringList missing;
        if (!(probe->major > 3 || (probe->major == 3 && probe->minor >= 11)))
            missing.append(QStringLiteral("Python 3.11+"));
        if (!probe->hasVenv)
            missing.append(QStringLiteral("venv"));
        if (!probe->hasPip)
            missing.append(QStringLiteral("pip"));
        if (!probe->hasEnsurePip)
            missing.append(QStringLiteral("ensurepip"));
        pythonStatus = {State::failed(QStringLiteral("Python-Installation ist unvollständig oder zu alt.")),
                        QStringLiteral("Fehlt: ") + missing.join(QStringLiteral(", ")) + QStringLiteral(" · ")
                            + *python};
    }

    const QStringList printPath{QStringLiteral("-p")};
    const auto developerFolder = co_await componentProcessOutput(tools().xcodeSelect, printPath);
    if (!self)
        co_return;
    auto &commandLineTools = snapshot.tools[size_t(Tool::commandLineTools)];
    if (developerFolder && existsFollowingLinks(*developerFolder))
        commandLineTools = {Kind::installed, *developerFolder};
    else
        commandLineTools = {Kind::notInstalled, QStringLiteral("Apple Command Line Tools sind nicht eingerichtet")};

    for (size_t i = 0; i < kToolCount; ++i) {
        if (m_installing[i] || m_lastWrite[i] >= started)
            continue;
        if (keepFailuresWhileMissing && m_states[i].kind() == Kind::failed
            && snapshot.tools[i].state.kind() == Kind::notInstalled)
            continue;
        m_lastWrite[i] = started;
        if (Tool(i) == Tool::blender && m_installedVersion != snapshot.installedVersion) {
            m_installedVersion = snapshot.installedVersion;
            emit changed();
        }
        if (Tool(i) == Tool::python && m_pythonProbeResult != snapshot.pythonProbeResult) {
            m_pythonProbeResult = snapshot.pythonProbeResult;
            emit changed();
        }
        publish(Tool(i), snapshot.tools[i].state, snapshot.tools[i].detail);
    }
}

QCoro::Task<QByteArray> AgentComponentManager::runComponentProcess(QString program, QStringList arguments,
                                                                  std::chrono::milliseconds timeout)
{
    ProcessOptions options;
    options.channels = ProcessOptions::Channels::Merged;
    options.timeout = timeout;
    const ProcessResult result = co_await runProcess(program, arguments, options);
    if (result.succeeded())
        co_return result.standardOutput;
    QString text = strictUtf8(result.standardOutput).value_or(QString()).trimmed();
    if (text.isEmpty())
        text = QFileInfo(program).fileName();
    throw ComponentError::commandFailed(text);
}

QCoro::Task<std::optional<QString>> AgentComponentManager::componentProcessOutput(QString program,
                                                                                 QStringList arguments)
{
    QByteArray output;
    try {
        output = co_await runComponentProcess(program, arguments, std::chrono::seconds(30));
    } catch (...) {
        co_return std::nullopt;
    }
    const auto text = strictUtf8(output);
    if (!text || text->trimmed().isEmpty())
        co_return std::nullopt;
    co_return text->trimmed();
}

QCoro::Task<void> AgentComponentManager::runInstaller(Tool tool, std::function<QCoro::Task<bool>()> steps)
{
    const size_t i = size_t(tool);
    if (m_installing[i] || m_states[i].isBusy())
        co_return;  // one installation per tool at a time
    m_installing[i] = true;
    QPointer<AgentComponentManager> self(this);
    std::optional<QString> failure;
    bool refreshAfterward = false;
    try {
        QCoro::Task<bool> running = steps();
        refreshAfterward = co_await std::move(running);
    } catch (...) {
        failure = describeCurrentException();
    }
    if (!self)
        co_return;
    m_installing[i] = false;
    if (failure) {
        logLine(QStringLiteral("Component installation failed:"), *failure);
        publishProgress(tool, State::failed(*failure), *failure);
    } else if (refreshAfterward) {
        co_await refreshStatus();
    }
}

QCoro::Task<void> AgentComponentManager::installBlender()
{
    std::function<QCoro::Task<bool>()> steps = [this]() { return blenderSteps(); };
    co_await runInstaller(Tool::blender, std::move(steps));
}

QCoro::Task<void> AgentComponentManager::installXcodeGen()
{
    std::function<QCoro::Task<bool>()> steps = [this]() { return xcodeGenSteps(); };
    co_await runInstaller(Tool::xcodeGen, std::move(steps));
}

QCoro::Task<void> AgentComponentManager::installMissingComponents()
{
    QPointer<AgentComponentManager> self(this);
    if (!isXcodeGenInstalled())
        co_await installXcodeGen();
    if (!self)
        co_return;
    if (!isBlenderInstalled())
        co_await installBlender();
    if (!self)
        co_return;
    co_await refresh(true);
}

QCoro::Task<void> AgentComponentManager::installWithHomebrew(Tool tool, QStringList arguments, QString busyDetail,
                                                             QString missingDetail)
{
    std::function<QCoro::Task<bool>()> steps = [this, tool, arguments, busyDetail, missingDetail]() {
        return homebrewSteps(tool, arguments, busyDetail, missingDetail);
    };
    co_await runInstaller(tool, std::move(steps));
}

QCoro::Task<void> AgentComponentManager::installQEMUWithHomebrew()
{
    return installWithHomebrew(Tool::qemu, {QStringLiteral("install"), QStringLiteral("qemu")},
                               QStringLiteral("QEMU wird mit Homebrew installiert …"), homebrewHint());
}

QCoro::Task<void> AgentComponentManager::installPythonWithHomebrew()
{
    return installWithHomebrew(Tool::python, {QStringLiteral("install"), QStringLiteral("python")},
                               QStringLiteral("Python wird mit Homebrew installiert …"), homebrewHint());
}

QCoro::Task<void> AgentComponentManager::repairPythonWithHomebrew()
{
    return installWithHomebrew(Tool::python, {QStringLiteral("reinstall"), QStringLiteral("python")},
                               QStringLiteral("Python wird mit Homebrew neu installiert …"),
                               QStringLiteral("Python kann ohne Homebrew nicht automatisch repariert werden."));
}

void AgentComponentManager::installCommandLineTools()
{
    const QString program = tools().xcodeSelect;
    if (!ComponentToolTable::isExecutableFile(program))
        return;
    QProcess process;
    process.setProgram(program);
    process.setArguments({QStringLiteral("--install")});
    process.setStandardInputFile(QProcess::nullDevice());
    process.startDetached();
}

QCoro::Task<bool> AgentComponentManager::homebrewSteps(Tool tool, QStringList arguments, QString busyDetail,
                                                       QString missingDetail)
{
    const auto brew = homebrewPath();
    if (!brew) {
        publishProgress(tool, State::failed(QStringLiteral("Homebrew wurde nicht gefunden.")), missingDetail);
        co_return false;
    }
    publishProgress(tool, Kind::installing, busyDetail);
    co_await runComponentProcess(*brew, arguments, kHomebrewTimeout);
    co_return true;
}

QCoro::Task<void> AgentComponentManager::downloadVerified(Tool tool, AgentComponentArtifact artifact, QString file,
                                                          QString downloadingDetail)
{
    QPointer<AgentComponentManager> self(this);
    publishProgress(tool, Kind::downloading, downloadingDetail);
    DownloadOptions options;
    options.idleTimeout = m_dependencies.downloadIdleTimeout;
    options.totalTimeout = m_dependencies.downloadTimeout;
    options.maximumBytes = std::max<int64_t>(artifact.downloadSize, 0) * 2 + kDownloadSlackBytes;
    options.tlsConfiguration = m_dependencies.tlsConfiguration;
    const DownloadResult result = co_await downloadToFile(network(), QNetworkRequest(artifact.downloadURL), file, options);
    requireAlive(self);
    if (result.status < 200 || result.status > 299)
        throw ComponentError::invalidServerResponse();

    publishProgress(tool, Kind::verifying, QStringLiteral("SHA-256-Prüfsumme wird verifiziert"));
    auto hash = [file]() { return ComponentFiles::sha256(file); };
    const QString digest = co_await runOnWorker(std::move(hash));
    if (digest.compare(artifact.sha256, Qt::CaseInsensitive) != 0)
        throw ComponentError::checksumMismatch();
}

QCoro::Task<bool> AgentComponentManager::blenderSteps()
{
    QPointer<AgentComponentManager> self(this);
    const auto component = componentWithID(kBlenderID);
    const auto artifact = component ? component->artifact(agentArchitecture()) : std::nullopt;
    if (!artifact)
        throw ComponentError::unsupportedArchitecture();
    // Without the disk-image tools the image could never be opened: say so
    // before spending a 300 MB download on it.
    const ComponentToolTable table = tools();
    for (const QString &tool : {table.hdiutil, table.ditto, table.codesign}) {
        if (!ComponentToolTable::isExecutableFile(tool))
            throw ComponentError::diskImageMountFailed();
    }

    const QString blenderFolder = componentsDirectory() + QLatin1Char('/') + kBlenderFolder;
    createDirectories(blenderFolder);
    const QString id = uuidText(QUuid::createUuid());
    const QString work = temporaryDirectory() + QStringLiteral("/trellium-component-") + id;
    const QString download = work + QLatin1Char('/') + artifact->downloadURL.fileName();
    const QString staging = blenderFolder + QStringLiteral("/.") + component->version + QStringLiteral("-staging-") + id;
    const QString installFolder = componentDirectory(kBlenderFolder, kBlenderID);
    createDirectories(work);

    std::exception_ptr failure;
    try {
        co_await downloadVerified(Tool::blender, *artifact, download,
                                  QStringLiteral("Blender ") + component->version + QStringLiteral(" wird von ")
                                      + kBlenderDownloadSite + QStringLiteral(" geladen (")
                                      + formattedByteCount(artifact->downloadSize) + QLatin1Char(')'));
        requireAlive(self);

        publishProgress(Tool::blender, Kind::installing,
                        QStringLiteral("Blender wird in den TRELLIUM-Komponentenordner installiert"));
        QDateTime now = QDateTime::currentDateTimeUtc();
        now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
        const InstalledAgentComponent receipt{component->id, component->version, artifact->architecture, now,
                                              artifact->downloadURL, artifact->sha256};
        const QByteArray receiptBytes = receipt.encodeReceipt();
        const QByteArray notice = noticeText(*component).toUtf8();

        const QString mountPoint = co_await attachDiskImage(table.hdiutil, download);
        requireAlive(self);
        std::exception_ptr mountedFailure;
        try {
            const QString application = mountPoint + QStringLiteral("/Blender.app");
            if (!itemExists(application))
                throw ComponentError::applicationMissing();
            createDirectories(staging);
            const QString copy = staging + QStringLiteral("/Blender.app");
            const QStringList copyArguments{application, copy};
            co_await runComponentProcess(table.ditto, copyArguments, kCopyTimeout);
            const QStringList verifyArguments{QStringLiteral("--verify"), QStringLiteral("--deep"),
                                              QStringLiteral("--strict"), copy};
            co_await runComponentProcess(table.codesign, verifyArguments, kCopyTimeout);
            writeFileAtomically(staging + QStringLiteral("/THIRD_PARTY_NOTICES.txt"), notice);
            writeFileAtomically(staging + QStringLiteral("/receipt.json"), receiptBytes);
            auto replace = [staging, installFolder]() { ComponentFiles::replaceDirectory(staging, installFolder); };
            co_await runOnWorker(std::move(replace));
        } catch (...) {
            mountedFailure = std::current_exception();
        }
        co_await detachDiskImage(table.hdiutil, mountPoint);
        if (mountedFailure)
            std::rethrow_exception(mountedFailure);
    } catch (...) {
        failure = std::current_exception();
    }
    auto cleanup = [work, staging]() { ComponentFiles::removeQuietly({work, staging}); };
    co_await runOnWorker(std::move(cleanup));
    if (failure)
        std::rethrow_exception(failure);
    co_return true;
}

QCoro::Task<bool> AgentComponentManager::xcodeGenSteps()
{
    QPointer<AgentComponentManager> self(this);
    const auto component = componentWithID(kXcodeGenID);
    const auto artifact = component ? component->artifact(agentArchitecture()) : std::nullopt;
    if (!artifact)
        throw ComponentError::unsupportedArchitecture();

    const QString id = uuidText(QUuid::createUuid());
    const QString work = temporaryDirectory() + QStringLiteral("/trellium-xcodegen-") + id;
    const QString download = work + QStringLiteral("/xcodegen.zip");
    const QString installFolder = componentDirectory(kXcodeGenFolder, kXcodeGenID);
    const QString unzip = tools().unzip;
    createDirectories(componentsDirectory());
    // Removed on quit too; an earlier run's is removed here.
    PartialItem stagingItem(componentsDirectory() + QStringLiteral("/xcodegen"));
    const QString staging = stagingItem.path();
    createDirectories(work);

    std::exception_ptr failure;
    try {
        co_await downloadVerified(Tool::xcodeGen, *artifact, download,
                                  QStringLiteral("XcodeGen ") + component->version + QStringLiteral(" wird von GitHub geladen"));
        requireAlive(self);

        publishProgress(Tool::xcodeGen, Kind::installing, QStringLiteral("XcodeGen wird installiert"));
        const QStringList listArguments{QStringLiteral("-Z1"), download};
        const QByteArray listing = co_await runComponentProcess(unzip, listArguments, kUnpackTimeout);
        ComponentFiles::refuseUnsafeEntries(listing);
        createDirectories(staging);
        const QStringList unzipArguments{QStringLiteral("-q"), QStringLiteral("-o"), download, QStringLiteral("-d"),
                                         staging};
        co_await runComponentProcess(unzip, unzipArguments, kUnpackTimeout);
        // Only a regular file of the archive's own is made executable, and
        // run only when it is a program for this machine.
        auto check = [staging]() {
            ComponentFiles::refuseLinks(staging);
            ComponentFiles::makeToolExecutable(staging, kXcodeGenTool);
            ComponentFiles::refuseForeignProgram(staging, kXcodeGenTool);
        };
        co_await runOnWorker(std::move(check));
        const QStringList versionArguments{QStringLiteral("--version")};
        co_await runComponentProcess(staging + QLatin1Char('/') + kXcodeGenTool, versionArguments, kToolCheckTimeout);
        createDirectories(QFileInfo(installFolder).absolutePath());
        auto replace = [staging, installFolder]() { ComponentFiles::replaceDirectory(staging, installFolder); };
        co_await runOnWorker(std::move(replace));
    } catch (...) {
        failure = std::current_exception();
    }
    auto cleanup = [work, staging]() { ComponentFiles::removeQuietly({work, staging}); };
    co_await runOnWorker(std::move(cleanup));
    if (failure)
        std::rethrow_exception(failure);
    co_return true;
}

QString AgentComponentManager::mountPointFromAttachOutput(const QByteArray &plist)
{
    const QVariant top = PropertyList::parse(plist);
    if (top.typeId() != QMetaType::QVariantMap)
        throw ComponentError::diskImageMountFailed();
    const QVariant entities = top.toMap().value(QStringLiteral("system-entities"));
    if (entities.typeId() != QMetaType::QVariantList)
        throw ComponentError::diskImageMountFailed();
    const QVariantList list = entities.toList();
    for (const QVariant &entity : list) {
        if (entity.typeId() != QMetaType::QVariantMap)
            throw ComponentError::diskImageMountFailed();
    }
    for (const QVariant &entity : list) {
        const QVariant mountPoint = entity.toMap().value(QStringLiteral("mount-point"));
        if (mountPoint.typeId() == QMetaType::QString)
            return mountPoint.toString();
    }
    throw ComponentError::diskImageMountFailed();
}

QCoro::Task<QString> AgentComponentManager::attachDiskImage(QString hdiutil, QString image)
{
    const QStringList arguments{QStringLiteral("attach"), QStringLiteral("-nobrowse"), QStringLiteral("-readonly"),
                                QStringLiteral("-plist"), image};
    const QByteArray output = co_await runComponentProcess(hdiutil, arguments, kDiskImageTimeout);
    co_return mountPointFromAttachOutput(output);
}

QCoro::Task<void> AgentComponentManager::detachDiskImage(QString hdiutil, QString mountPoint)
{
    const QStringList arguments{QStringLiteral("detach"), mountPoint};
    try {
        co_await runComponentProcess(hdiutil, arguments, kDiskImageTimeout);
    } catch (...) {
        logLine(QStringLiteral("Disk image detach failed:"), describeCurrentException());
    }
}

QString AgentComponentManager::noticeText(const AgentComponent &component)
{
    return QStringLiteral("Blender ") + component.version
        + QStringLiteral("\n\nZweck innerhalb von TRELLIUM:\n") + component.purpose
        + QStringLiteral("\n\nLizenz:\n") + component.licenseName + QLatin1Char('\n')
        + component.licenseURL.toString(QUrl::FullyEncoded)
        + QStringLiteral("\n\nQuellcode der verwendeten Version:\n") + component.sourceCodeURL.toString(QUrl::FullyEncoded)
        + QStringLiteral("\n\nBlender ist eine eigenständige Drittanbieterkomponente und wird von der Blender "
                         "Foundation\nsowie den Blender-Mitwirkenden entwickelt. TRELLIUM startet Blender als "
                         "separaten Prozess.");
}

} // namespace trellium
