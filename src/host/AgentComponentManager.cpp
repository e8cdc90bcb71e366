#include "host/AgentComponentManager.h"

#include "core/Files.h"
#include "core/Process.h"
#include "host/ComponentError.h"

#include <QFileInfo>
#include <QPointer>
#include <QStringDecoder>

#include <sys/stat.h>

namespace trellium {

namespace {

using Kind = AgentComponentManager::State::Kind;

const QString kBlenderFolder = QStringLiteral("Blender");
const QString kXcodeGenFolder = QStringLiteral("XcodeGen");
const QString kBlenderID = QStringLiteral("blender");
const QString kXcodeGenID = QStringLiteral("xcodegen");

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

    const auto developerFolder =
        co_await componentProcessOutput(tools().xcodeSelect, QStringList{QStringLiteral("-p")});
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
