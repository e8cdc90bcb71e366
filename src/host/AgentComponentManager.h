#pragma once

#include "core/Async.h"
#include "host/AgentComponentManifest.h"
#include "host/ComponentToolTable.h"
#include "host/InstalledAgentComponent.h"
#include "projects/PythonComponentProbeResult.h"

#include <QObject>
#include <QSslConfiguration>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace trellium {

// The one authority on the outside tools the agent runs: Blender and XcodeGen
// (installed into the components folder), qemu-img, Python 3, Xcode and the
// Command Line Tools (only found). Publishes a state and a German detail per
// tool and installs what it can. Main thread.
class AgentComponentManager : public QObject {
    Q_OBJECT
public:
    class State {
    public:
        enum class Kind { failed, checking, notInstalled, downloading, verifying, installing, installed };

        State(Kind kind = Kind::checking) : m_kind(kind) {}
        static State failed(QString message);

        Kind kind() const { return m_kind; }
        // The failure's text; empty for the other kinds.
        const QString &message() const { return m_message; }
        // downloading, verifying or installing
        bool isBusy() const;

        bool operator==(const State &other) const;

    private:
        Kind m_kind;
        QString m_message;
    };

    enum class Tool { blender, xcodeGen, qemu, xcode, commandLineTools, python };
    static constexpr size_t kToolCount = 6;

    // The seams a test replaces.
    struct Dependencies {
        ComponentToolTable tools = ComponentToolTable::standard();
        AgentComponentManifest manifest = AgentComponentManifest::builtIn();
        // Applied to every download (tests trust their own certificate authority).
        std::optional<QSslConfiguration> tlsConfiguration;
        // A download that receives nothing for this long fails.
        std::chrono::milliseconds downloadIdleTimeout = std::chrono::seconds(60);
        // A download that has not finished in this time fails: a server
        // trickling a byte now and then must not keep the tool busy (and
        // every retry refused) for days.
        std::chrono::milliseconds downloadTimeout = std::chrono::hours(1);
        // Where work folders go; empty: the system's temporary folder.
        QString temporaryDirectory;
    };

    static AgentComponentManager &shared();

    // Sets every state to checking and starts one status refresh.
    AgentComponentManager();
    explicit AgentComponentManager(Dependencies dependencies, QObject *parent = nullptr);
    ~AgentComponentManager() override;

    // Published values; changed() follows every change.
    const State &state() const { return m_states[size_t(Tool::blender)]; }
    const std::optional<QString> &installedVersion() const { return m_installedVersion; }
    const QString &statusDetail() const { return m_details[size_t(Tool::blender)]; }
    const State &xcodeGenState() const { return m_states[size_t(Tool::xcodeGen)]; }
    const QString &xcodeGenDetail() const { return m_details[size_t(Tool::xcodeGen)]; }
    const State &qemuState() const { return m_states[size_t(Tool::qemu)]; }
    const QString &qemuDetail() const { return m_details[size_t(Tool::qemu)]; }
    const State &xcodeState() const { return m_states[size_t(Tool::xcode)]; }
    const QString &xcodeDetail() const { return m_details[size_t(Tool::xcode)]; }
    const State &commandLineToolsState() const { return m_states[size_t(Tool::commandLineTools)]; }
    const QString &commandLineToolsDetail() const { return m_details[size_t(Tool::commandLineTools)]; }
    const State &pythonState() const { return m_states[size_t(Tool::python)]; }
    const QString &pythonDetail() const { return m_details[size_t(Tool::python)]; }
    const std::optional<PythonComponentProbeResult> &pythonProbeResult() const { return m_pythonProbeResult; }
    const State &state(Tool tool) const { return m_states[size_t(tool)]; }
    const QString &detail(Tool tool) const { return m_details[size_t(tool)]; }

    const AgentComponentManifest &manifest() const { return m_dependencies.manifest; }
    const ComponentToolTable &tools() const { return m_dependencies.tools; }

    static const AgentComponentManifest &builtInManifest() { return AgentComponentManifest::builtIn(); }
    std::optional<AgentComponent> componentWithID(const QString &id) const { return manifest().component(id); }

    // Application Support/TRELLIUM/Components, formed anew at each call.
    static QString componentsDirectory();
    // componentsDirectory()/<folder>/<version of the component `id`>.
    QString componentDirectory(const QString &folder, const QString &id) const;
    QString blenderExecutablePath() const;
    QString xcodeGenExecutablePath() const;

    // Lookups by the tool table, without a refresh.
    std::optional<QString> qemuImgPath() const;
    std::optional<QString> python3Path() const;
    std::optional<QString> homebrewPath() const;
    bool isBlenderInstalled() const;
    bool isXcodeGenInstalled() const;
    // Blender or XcodeGen is missing (system tools do not count).
    bool needsSetup() const;
    // A missing Blender or XcodeGen can be installed on this host: Blender
    // needs the disk-image tools, XcodeGen a host that runs macOS programs.
    bool canInstallMissingComponents() const;

    // Each refreshes first; then the tool's path or the matching ComponentError.
    QCoro::Task<QString> blenderExecutableURL();
    QCoro::Task<QString> xcodeGenExecutableURL();
    QCoro::Task<QString> validatedPythonURL();

    // Re-evaluates every tool. Never throws. A tool whose installer is running
    // keeps its busy state, and a refresh never overwrites what a later
    // refresh or an installer has set in the meantime.
    QCoro::Task<void> refreshStatus();

    // Installers. Errors end in the tool's failed state (state text and
    // detail alike), success in a refresh; nothing is thrown. While a tool's
    // installer runs, another start for that tool is refused.
    QCoro::Task<void> installBlender();
    QCoro::Task<void> installXcodeGen();
    // XcodeGen, then Blender, when missing; a failed state stays while its
    // tool is still missing, so the user sees why.
    QCoro::Task<void> installMissingComponents();
    QCoro::Task<void> installQEMUWithHomebrew();
    QCoro::Task<void> installPythonWithHomebrew();
    QCoro::Task<void> repairPythonWithHomebrew();
    // Starts the system's installer and returns; states follow at the next refresh.
    void installCommandLineTools();

    // Mounts a disk image read-only with hdiutil; the first mount point it reports.
    static QCoro::Task<QString> attachDiskImage(QString hdiutil, QString image);
    // Never fails.
    static QCoro::Task<void> detachDiskImage(QString hdiutil, QString mountPoint);
    // The first "mount-point" text of hdiutil's "system-entities"; else
    // ComponentError diskImageMountFailed. Parse errors are thrown as they are.
    static QString mountPointFromAttachOutput(const QByteArray &plist);

    // Runs a tool with both output channels in one stream, bounded by
    // `timeout`. Exit 0: the output. Otherwise ComponentError::commandFailed
    // with the trimmed output, or the tool's file name when there is none.
    // A tool that cannot be started throws FileError.
    static QCoro::Task<QByteArray> runComponentProcess(QString program, QStringList arguments,
                                                       std::chrono::milliseconds timeout = std::chrono::minutes(10));
    // The tool's trimmed output, or nothing on any failure or empty output.
    static QCoro::Task<std::optional<QString>> componentProcessOutput(QString program, QStringList arguments);

    // The German text of THIRD_PARTY_NOTICES.txt for an installed component.
    static QString noticeText(const AgentComponent &component);

signals:
    void changed();

private:
    struct ToolStatus {
        State state;
        QString detail;
    };
    struct Snapshot;

    void publish(Tool tool, State state, QString detail);
    // An installer's own change: later than any refresh under way.
    void publishProgress(Tool tool, State state, QString detail);
    Snapshot evaluateFiles() const;
    QCoro::Task<void> refresh(bool keepFailuresWhileMissing);

    // Runs an installer's steps under the busy rule; they yield whether a
    // refresh should follow.
    QCoro::Task<void> runInstaller(Tool tool, std::function<QCoro::Task<bool>()> steps);
    QCoro::Task<bool> blenderSteps();
    QCoro::Task<bool> xcodeGenSteps();
    QCoro::Task<void> installWithHomebrew(Tool tool, QStringList arguments, QString busyDetail, QString missingDetail);
    QCoro::Task<bool> homebrewSteps(Tool tool, QStringList arguments, QString busyDetail, QString missingDetail);
    // Downloads and checks an artifact, publishing downloading, then verifying.
    QCoro::Task<void> downloadVerified(Tool tool, AgentComponentArtifact artifact, QString file,
                                       QString downloadingDetail);
    QNetworkAccessManager *network();
    QString temporaryDirectory() const;

    Dependencies m_dependencies;
    std::array<State, kToolCount> m_states;
    std::array<QString, kToolCount> m_details;
    std::optional<QString> m_installedVersion;
    std::optional<PythonComponentProbeResult> m_pythonProbeResult;

    // Ordering of writes: every refresh start and every installer change
    // takes the next stamp; a refresh writes a tool only when its start is
    // later than the tool's last write.
    uint64_t m_clock = 0;
    std::array<uint64_t, kToolCount> m_lastWrite{};
    std::array<bool, kToolCount> m_installing{};
    QNetworkAccessManager *m_network = nullptr;
};

} // namespace trellium
