#pragma once

#include "host/AgentLatestManifest.h"
#include "host/AgentSettingsModel.h"
#include "platform/desktop/SymbolIcon.h"

#include <QWidget>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace trellium {

class AgentComponentManager;
class AlertPresenter;

// The agent's settings: who it is and how it is doing, pairing, the project
// folder, the relay address, the tools' states and the software update.
class AgentSettingsView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize kContentSize{680, 620};
    static constexpr const char *kRelayURLOverrideKey = "DADUVAVUDedurOrazedudizoROROziduroz";
    static constexpr const char *kProjectRootKey = "trellium.agent.projectRoot";

    using FetchManifest = std::function<QCoro::Task<std::optional<AgentLatestManifest>>()>;
    // Reports bytes received and expected (-1 unknown) while it loads.
    using DownloadProgress = std::function<void(qint64 received, qint64 expected)>;
    using DownloadInstaller = std::function<QCoro::Task<void>(AgentLatestManifest, DownloadProgress)>;

    struct Dependencies {
        AgentSettingsModel *agent = nullptr;  // required
        AgentComponentManager *components = nullptr;  // null: the shared one
        std::function<void()> showComponentSetup;  // empty: the shared window controller
        FetchManifest fetchLatestManifest;  // empty: the shared update manager
        DownloadInstaller downloadInstaller;  // empty: the shared update manager
        AlertPresenter *alerts = nullptr;  // null: message boxes
        // The running agent's version and build number; empty reads as none.
        QString version;
        QString build;

        Dependencies();
    };

    struct StatusSymbol {
        QString symbol;
        SymbolTint tint;
    };

    explicit AgentSettingsView(Dependencies dependencies, QWidget *parent = nullptr);

    static StatusSymbol statusSymbol(AgentSettingsModel::AgentStatus status);
    // "1.4 (27)"; the en dash without a version; no brackets without a build.
    static QString appVersionText(const QString &shortVersion, const QString &build);
    // "Blender: Installiert · XcodeGen: … · Python: … · QEMU: …"
    static QString componentsSummary(const AgentComponentManager &components);

    // Runs the update check unless one is running.
    void checkForUpdates();
    bool isCheckingForUpdates() const { return m_isCheckingForUpdates; }
    std::optional<QString> updateStatus() const { return m_updateStatus; }

    // Widgets the tests read and press.
    QLabel *statusLabel() const { return m_statusText; }
    QLabel *statusSymbolLabel() const { return m_statusSymbol; }
    QLabel *deviceNameLabel() const { return m_deviceName; }
    QLabel *pairingCodeLabel() const { return m_pairingCode; }
    QWidget *pairedDevicesList() const { return m_pairedList; }
    QLineEdit *projectRootField() const { return m_projectRoot; }
    QLabel *relayLabel() const { return m_relayText; }
    QToolButton *relayDisclosure() const { return m_relayDisclosure; }
    QLineEdit *relayField() const { return m_relayField; }
    QLabel *componentsTitle() const { return m_componentsTitle; }
    QLabel *componentsSymbol() const { return m_componentsSymbol; }
    QLabel *componentsSummaryLabel() const { return m_componentsSummary; }
    QProgressBar *componentsProgress() const { return m_componentsProgress; }
    QPushButton *manageButton() const { return m_manage; }
    QLabel *versionLabel() const { return m_version; }
    QLabel *updateStatusLabel() const { return m_updateStatusText; }
    QProgressBar *updateProgress() const { return m_updateProgress; }
    QPushButton *updateButton() const { return m_updateButton; }
    QWidget *serverErrorLine() const { return m_serverError; }
    QLabel *serverErrorLabel() const { return m_serverErrorText; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildHeader();
    QWidget *buildPairing();
    QWidget *buildProjects();
    QWidget *buildRelay();
    QWidget *buildComponents();
    QWidget *buildUpdate();
    QWidget *buildServerError();

    void render();
    void renderPairedDevices();
    void setChecking(bool checking);
    void setUpdateStatus(const QString &status);
    QCoro::Task<void> runUpdateCheck();
    // Alert for a failed check or download; the check ends when it closes.
    QCoro::Task<void> reportUpdateFailure(QString error);

    Dependencies m_dependencies;
    AgentSettingsModel &m_agent;
    AgentComponentManager &m_components;
    bool m_isCheckingForUpdates = false;
    std::optional<QString> m_updateStatus;
    QList<AgentSettingsModel::PairedDevice> m_shownDevices;
    bool m_devicesShown = false;

    QLabel *m_deviceName = nullptr;
    QLabel *m_statusSymbol = nullptr;
    QLabel *m_statusText = nullptr;
    QLabel *m_pairingCode = nullptr;
    QWidget *m_pairedList = nullptr;
    QVBoxLayout *m_pairedLayout = nullptr;
    QLineEdit *m_projectRoot = nullptr;
    QLabel *m_relaySymbol = nullptr;
    QLabel *m_relayText = nullptr;
    QToolButton *m_relayDisclosure = nullptr;
    QWidget *m_relayPanel = nullptr;
    QLineEdit *m_relayField = nullptr;
    QLabel *m_componentsSymbol = nullptr;
    QLabel *m_componentsTitle = nullptr;
    QLabel *m_componentsSummary = nullptr;
    QProgressBar *m_componentsProgress = nullptr;
    QPushButton *m_manage = nullptr;
    QLabel *m_version = nullptr;
    QLabel *m_updateStatusText = nullptr;
    QProgressBar *m_updateProgress = nullptr;
    QPushButton *m_updateButton = nullptr;
    QWidget *m_serverError = nullptr;
    QLabel *m_serverErrorText = nullptr;
};

} // namespace trellium
