#include "host/AgentSettingsView.h"

#include "core/Async.h"
#include "core/BuildInfo.h"
#include "core/Settings.h"
#include "host/AgentComponentManager.h"
#include "host/AgentUpdateManager.h"
#include "host/ComponentSetupWindowController.h"
#include "host/ComponentStateText.h"
#include "platform/desktop/AlertPresenter.h"
#include "platform/desktop/TextStyle.h"

#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

namespace trellium {

namespace {

QGroupBox *groupBox(const QString &title, QWidget *parent)
{
    auto *box = new QGroupBox(title, parent);
    box->setObjectName(title);
    return box;
}

QLabel *secondaryLabel(const QString &text, TextStyle::Size size, QWidget *parent)
{
    auto *label = TextStyle::wrappingLabel(text, parent);
    TextStyle::apply(label, size);
    TextStyle::setTint(label, SymbolTint::secondary);
    return label;
}

QProgressBar *smallSpinner(QWidget *parent)
{
    auto *progress = new QProgressBar(parent);
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progress->setFixedSize(48, 10);
    progress->hide();
    return progress;
}

} // namespace

AgentSettingsView::Dependencies::Dependencies() : version(agentVersion()), build(agentBuildNumberText()) {}

AgentSettingsView::AgentSettingsView(Dependencies dependencies, QWidget *parent)
    : QWidget(parent), m_dependencies(std::move(dependencies)), m_agent(*m_dependencies.agent),
      m_components(m_dependencies.components ? *m_dependencies.components : AgentComponentManager::shared())
{
    if (!m_dependencies.showComponentSetup)
        m_dependencies.showComponentSetup = []() { ComponentSetupWindowController::shared().show(); };
    if (!m_dependencies.fetchLatestManifest)
        m_dependencies.fetchLatestManifest = []() { return AgentUpdateManager::shared().fetchLatestManifest(); };
    if (!m_dependencies.downloadInstaller) {
        m_dependencies.downloadInstaller = [](AgentLatestManifest manifest, DownloadProgress progress) {
            return AgentUpdateManager::shared().downloadInstaller(std::move(manifest), std::move(progress));
        };
    }
    if (!m_dependencies.alerts)
        m_dependencies.alerts = &AlertPresenter::standard();

    setFixedSize(kContentSize);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    outer->addWidget(scroll);

    auto *content = new QWidget(scroll);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(18);
    column->addWidget(buildHeader());
    column->addWidget(buildPairing());
    column->addWidget(buildProjects());
    column->addWidget(buildRelay());
    column->addWidget(buildComponents());
    column->addWidget(buildUpdate());
    column->addWidget(buildServerError());
    column->addStretch(1);
    scroll->setWidget(content);

    connect(&m_agent, &AgentSettingsModel::changed, this, &AgentSettingsView::render);
    connect(&m_components, &AgentComponentManager::changed, this, &AgentSettingsView::render);
    render();
}

QWidget *AgentSettingsView::buildHeader()
{
    auto *header = new QWidget(this);
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(14);
    auto *symbol = new QLabel(header);
    symbol->setFixedSize(44, 44);
    symbol->setAlignment(Qt::AlignCenter);
    SymbolIcon::apply(symbol, QStringLiteral("shippingbox.fill"), 30, SymbolTint::accent);
    row->addWidget(symbol, 0, Qt::AlignVCenter);

    auto *column = new QVBoxLayout;
    column->setSpacing(3);
    auto *title = new QLabel(QStringLiteral("TRELLIUM Agent"), header);
    TextStyle::apply(title, TextStyle::Size::title2, true);
    column->addWidget(title);
    m_deviceName = new QLabel(header);
    m_deviceName->setObjectName(QStringLiteral("deviceName"));
    TextStyle::setTint(m_deviceName, SymbolTint::secondary);
    column->addWidget(m_deviceName);
    auto *status = new QHBoxLayout;
    status->setSpacing(5);
    m_statusSymbol = new QLabel(header);
    m_statusSymbol->setObjectName(QStringLiteral("statusSymbol"));
    status->addWidget(m_statusSymbol);
    m_statusText = new QLabel(header);
    m_statusText->setObjectName(QStringLiteral("status"));
    status->addWidget(m_statusText);
    status->addStretch(1);
    column->addLayout(status);
    row->addLayout(column, 1);
    return header;
}

QWidget *AgentSettingsView::buildPairing()
{
    auto *holder = groupBox(QStringLiteral("iPad verbinden"), this);
    auto *column = new QVBoxLayout(holder);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(16);

    auto *top = new QHBoxLayout;
    top->setSpacing(24);
    auto *code = new QVBoxLayout;
    code->setSpacing(5);
    code->addWidget(secondaryLabel(QStringLiteral("Pairing-Code"), TextStyle::Size::caption, this));
    m_pairingCode = new QLabel(this);
    m_pairingCode->setObjectName(QStringLiteral("pairingCode"));
    TextStyle::apply(m_pairingCode, TextStyle::Size::title, true);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(m_pairingCode->font().pointSizeF());
    mono.setBold(true);
    m_pairingCode->setFont(mono);
    TextStyle::makeSelectable(m_pairingCode);
    code->addWidget(m_pairingCode);
    top->addLayout(code);
    auto *line = new QFrame(this);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setFixedHeight(48);
    top->addWidget(line);
    top->addWidget(secondaryLabel(QStringLiteral("Öffne auf dem iPad die TRELLIUM-Einstellungen, wähle diesen Mac aus "
                                                 "und gib den Code ein."),
                                  TextStyle::Size::callout, this),
                   1);
    column->addLayout(top);

    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    column->addWidget(divider);
    auto *devicesTitle = new QLabel(QStringLiteral("Gekoppelte Geräte"), this);
    TextStyle::apply(devicesTitle, TextStyle::Size::headline);
    column->addWidget(devicesTitle);
    m_pairedList = new QWidget(this);
    m_pairedList->setObjectName(QStringLiteral("pairedDevices"));
    m_pairedLayout = new QVBoxLayout(m_pairedList);
    m_pairedLayout->setContentsMargins(0, 0, 0, 0);
    m_pairedLayout->setSpacing(6);
    column->addWidget(m_pairedList);
    return holder;
}

QWidget *AgentSettingsView::buildProjects()
{
    auto *holder = groupBox(QStringLiteral("Projekte"), this);
    auto *column = new QVBoxLayout(holder);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(10);
    m_projectRoot = new QLineEdit(this);
    m_projectRoot->setObjectName(QStringLiteral("projectRoot"));
    m_projectRoot->setText(userDefaults()->value(QLatin1String(kProjectRootKey)).toString());
    // Every keystroke stores the whole text as typed; its readers trim it.
    connect(m_projectRoot, &QLineEdit::textEdited, this,
            [](const QString &text) { userDefaults()->setValue(QLatin1String(kProjectRootKey), text); });
    column->addWidget(m_projectRoot);
    column->addWidget(secondaryLabel(QStringLiteral("Ordner für erstellte und gefundene Xcode-Projekte. Leer lassen, um "
                                                    "den TRELLIUM-Standardordner in Dokumente zu verwenden."),
                                     TextStyle::Size::caption, this));
    return holder;
}

QWidget *AgentSettingsView::buildRelay()
{
    auto *holder = groupBox(QStringLiteral("Internetverbindung"), this);
    auto *column = new QVBoxLayout(holder);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(10);
    auto *state = new QHBoxLayout;
    state->setSpacing(6);
    m_relaySymbol = new QLabel(this);
    m_relaySymbol->setObjectName(QStringLiteral("relaySymbol"));
    state->addWidget(m_relaySymbol);
    m_relayText = new QLabel(this);
    m_relayText->setObjectName(QStringLiteral("relay"));
    state->addWidget(m_relayText);
    state->addStretch(1);
    column->addLayout(state);

    m_relayDisclosure = new QToolButton(this);
    m_relayDisclosure->setObjectName(QStringLiteral("relayDisclosure"));
    m_relayDisclosure->setText(QStringLiteral("Erweiterte Relay-Einstellungen"));
    m_relayDisclosure->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_relayDisclosure->setArrowType(Qt::RightArrow);
    m_relayDisclosure->setCheckable(true);
    m_relayDisclosure->setAutoRaise(true);
    column->addWidget(m_relayDisclosure);

    m_relayPanel = new QWidget(this);
    auto *panel = new QVBoxLayout(m_relayPanel);
    panel->setContentsMargins(18, 0, 0, 0);
    panel->setSpacing(6);
    m_relayField = new QLineEdit(m_relayPanel);
    m_relayField->setObjectName(QStringLiteral("relayURL"));
    m_relayField->setFrame(false);
    m_relayField->setText(userDefaults()->value(QLatin1String(kRelayURLOverrideKey)).toString());
    // Read by the agent at its next start, not now.
    connect(m_relayField, &QLineEdit::textEdited, this,
            [](const QString &text) { userDefaults()->setValue(QLatin1String(kRelayURLOverrideKey), text); });
    panel->addWidget(m_relayField);
    panel->addWidget(secondaryLabel(QStringLiteral("Nur für Entwicklung oder einen selbst betriebenen Relay. Eine "
                                                   "Änderung wird nach einem Neustart des Agents verwendet."),
                                    TextStyle::Size::caption, m_relayPanel));
    m_relayPanel->hide();
    connect(m_relayDisclosure, &QToolButton::toggled, this, [this](bool open) {
        m_relayDisclosure->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        m_relayPanel->setVisible(open);
    });
    column->addWidget(m_relayPanel);
    return holder;
}

QWidget *AgentSettingsView::buildComponents()
{
    auto *holder = groupBox(QStringLiteral("Komponenten"), this);
    auto *row = new QHBoxLayout(holder);
    row->setContentsMargins(8, 8, 8, 8);
    row->setSpacing(16);
    m_componentsSymbol = new QLabel(this);
    m_componentsSymbol->setObjectName(QStringLiteral("componentsSymbol"));
    row->addWidget(m_componentsSymbol, 0, Qt::AlignVCenter);
    auto *column = new QVBoxLayout;
    column->setSpacing(4);
    m_componentsTitle = new QLabel(this);
    m_componentsTitle->setObjectName(QStringLiteral("componentsTitle"));
    TextStyle::apply(m_componentsTitle, TextStyle::Size::headline);
    column->addWidget(m_componentsTitle);
    m_componentsSummary = secondaryLabel({}, TextStyle::Size::caption, this);
    m_componentsSummary->setObjectName(QStringLiteral("componentsSummary"));
    TextStyle::makeSelectable(m_componentsSummary);
    column->addWidget(m_componentsSummary);
    row->addLayout(column, 1);
    m_componentsProgress = smallSpinner(this);
    row->addWidget(m_componentsProgress);
    m_manage = new QPushButton(QStringLiteral("Verwalten"), this);
    m_manage->setObjectName(QStringLiteral("manage"));
    connect(m_manage, &QPushButton::clicked, this, [this]() { m_dependencies.showComponentSetup(); });
    row->addWidget(m_manage);
    return holder;
}

QWidget *AgentSettingsView::buildUpdate()
{
    auto *holder = groupBox(QStringLiteral("Softwareupdate"), this);
    auto *row = new QHBoxLayout(holder);
    row->setContentsMargins(8, 8, 8, 8);
    row->setSpacing(10);
    auto *column = new QVBoxLayout;
    column->setSpacing(3);
    m_version = new QLabel(QStringLiteral("Installierte Version ")
                               + appVersionText(m_dependencies.version, m_dependencies.build),
                           this);
    m_version->setObjectName(QStringLiteral("version"));
    column->addWidget(m_version);
    m_updateStatusText = secondaryLabel({}, TextStyle::Size::caption, this);
    m_updateStatusText->setObjectName(QStringLiteral("updateStatus"));
    m_updateStatusText->hide();
    column->addWidget(m_updateStatusText);
    row->addLayout(column, 1);
    m_updateProgress = smallSpinner(this);
    row->addWidget(m_updateProgress);
    m_updateButton = new QPushButton(QStringLiteral("Nach Updates suchen"), this);
    m_updateButton->setObjectName(QStringLiteral("checkForUpdates"));
    connect(m_updateButton, &QPushButton::clicked, this, &AgentSettingsView::checkForUpdates);
    row->addWidget(m_updateButton);
    return holder;
}

QWidget *AgentSettingsView::buildServerError()
{
    m_serverError = new QWidget(this);
    m_serverError->setObjectName(QStringLiteral("serverError"));
    auto *row = new QHBoxLayout(m_serverError);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    auto *symbol = new QLabel(m_serverError);
    SymbolIcon::apply(symbol, QStringLiteral("exclamationmark.triangle.fill"), 12, SymbolTint::red);
    row->addWidget(symbol, 0, Qt::AlignTop);
    m_serverErrorText = TextStyle::wrappingLabel({}, m_serverError);
    TextStyle::apply(m_serverErrorText, TextStyle::Size::caption);
    TextStyle::setTint(m_serverErrorText, SymbolTint::red);
    TextStyle::makeSelectable(m_serverErrorText);
    row->addWidget(m_serverErrorText, 1);
    m_serverError->hide();
    return m_serverError;
}

AgentSettingsView::StatusSymbol AgentSettingsView::statusSymbol(AgentSettingsModel::AgentStatus status)
{
    using Status = AgentSettingsModel::AgentStatus;
    switch (status) {
    case Status::offline:
        return {QStringLiteral("circle"), SymbolTint::secondary};
    case Status::online:
        return {QStringLiteral("checkmark.circle.fill"), SymbolTint::green};
    case Status::connected:
        return {QStringLiteral("link.circle.fill"), SymbolTint::green};
    case Status::building:
        return {QStringLiteral("hammer.circle.fill"), SymbolTint::orange};
    case Status::failed:
        return {QStringLiteral("exclamationmark.triangle.fill"), SymbolTint::red};
    }
    return {QStringLiteral("circle"), SymbolTint::secondary};
}

QString AgentSettingsView::appVersionText(const QString &shortVersion, const QString &build)
{
    QString text = shortVersion.isEmpty() ? QStringLiteral("–") : shortVersion;
    if (!build.isEmpty())
        text += QStringLiteral(" (") + build + QLatin1Char(')');
    return text;
}

QString AgentSettingsView::componentsSummary(const AgentComponentManager &components)
{
    return QStringLiteral("Blender: ") + componentStateText(components.state()).text + QStringLiteral(" · XcodeGen: ")
        + componentStateText(components.xcodeGenState()).text + QStringLiteral(" · Python: ")
        + componentStateText(components.pythonState()).text + QStringLiteral(" · QEMU: ")
        + componentStateText(components.qemuState()).text;
}

void AgentSettingsView::render()
{
    m_deviceName->setText(m_agent.deviceName());
    const StatusSymbol status = statusSymbol(m_agent.agentStatus());
    SymbolIcon::apply(m_statusSymbol, status.symbol, 14, status.tint);
    m_statusText->setText(m_agent.status());
    TextStyle::setTint(m_statusText, status.tint);

    m_pairingCode->setText(m_agent.pairingCode());
    renderPairedDevices();

    m_projectRoot->setPlaceholderText(m_agent.defaultProjectRoot());
    m_relayField->setPlaceholderText(m_agent.builtInRelayURL());
    if (m_agent.isRelayConnected()) {
        SymbolIcon::apply(m_relaySymbol, QStringLiteral("lock.shield.fill"), 14, SymbolTint::green);
        m_relayText->setText(QStringLiteral("Relay verbunden"));
        TextStyle::setTint(m_relayText, SymbolTint::green);
    } else {
        SymbolIcon::apply(m_relaySymbol, QStringLiteral("network"), 14, SymbolTint::secondary);
        m_relayText->setText(QStringLiteral("Relay wird automatisch verbunden"));
        TextStyle::setTint(m_relayText, SymbolTint::secondary);
    }

    const bool needsSetup = m_components.needsSetup();
    if (needsSetup)
        SymbolIcon::apply(m_componentsSymbol, QStringLiteral("exclamationmark.triangle.fill"), 22, SymbolTint::orange);
    else
        SymbolIcon::apply(m_componentsSymbol, QStringLiteral("checkmark.circle.fill"), 22, SymbolTint::green);
    m_componentsTitle->setText(needsSetup ? QStringLiteral("Einrichtung erforderlich") : QStringLiteral("Bereit"));
    m_componentsSummary->setText(componentsSummary(m_components));
    m_componentsProgress->setVisible(m_components.state().isBusy());

    m_updateStatusText->setVisible(m_updateStatus.has_value());
    m_updateStatusText->setText(m_updateStatus.value_or(QString()));
    m_updateProgress->setVisible(m_isCheckingForUpdates);
    m_updateButton->setEnabled(!m_isCheckingForUpdates);

    const auto serverError = m_agent.serverErrorMessage();
    m_serverError->setVisible(serverError.has_value());
    m_serverErrorText->setText(serverError.value_or(QString()));
}

void AgentSettingsView::renderPairedDevices()
{
    const QList<AgentSettingsModel::PairedDevice> devices = m_agent.pairedClients();
    if (m_devicesShown && devices == m_shownDevices)
        return;
    m_devicesShown = true;
    m_shownDevices = devices;
    while (QLayoutItem *item = m_pairedLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const auto deviceRow = [this](const QString &name, SymbolTint tint) {
        auto *row = new QWidget(m_pairedList);
        auto *layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(6);
        auto *symbol = new QLabel(row);
        SymbolIcon::apply(symbol, QStringLiteral("ipad"), 14, tint);
        layout->addWidget(symbol);
        auto *label = new QLabel(name, row);
        label->setObjectName(QStringLiteral("deviceName"));
        TextStyle::setTint(label, tint);
        layout->addWidget(label);
        layout->addStretch(1);
        m_pairedLayout->addWidget(row);
        return row;
    };
    if (devices.isEmpty()) {
        deviceRow(QStringLiteral("Noch kein iPad gekoppelt"), SymbolTint::secondary);
        return;
    }
    for (const AgentSettingsModel::PairedDevice &device : devices) {
        QWidget *row = deviceRow(device.name, SymbolTint::primary);
        row->setObjectName(QStringLiteral("device-") + device.id);
        auto *unpair = new QPushButton(QStringLiteral("Entkoppeln"), row);
        unpair->setObjectName(QStringLiteral("unpair"));
        // A destructive action: red, and done at once without asking.
        unpair->setStyleSheet(QStringLiteral("color: %1;").arg(SymbolIcon::color(SymbolTint::red).name()));
        const QString id = device.id;
        connect(unpair, &QPushButton::clicked, this, [this, id]() { m_agent.removeClient(id); });
        row->layout()->addWidget(unpair);
    }
}

void AgentSettingsView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Awaited, not waited for: its probes must not freeze the window.
    startDetached(m_components.refreshStatus(), QStringLiteral("Component status refresh"));
    render();
}

void AgentSettingsView::setChecking(bool checking)
{
    m_isCheckingForUpdates = checking;
    if (!checking)
        m_updateProgress->setRange(0, 0);
    render();
}

void AgentSettingsView::setUpdateStatus(const QString &status)
{
    m_updateStatus = status;
    render();
}

void AgentSettingsView::checkForUpdates()
{
    if (m_isCheckingForUpdates)
        return;
    m_isCheckingForUpdates = true;
    setUpdateStatus(QStringLiteral("Prüfe …"));
    startDetached(runUpdateCheck(), QStringLiteral("Update check"));
}

QCoro::Task<void> AgentSettingsView::runUpdateCheck()
{
    QPointer<AgentSettingsView> self(this);
    std::optional<AgentLatestManifest> manifest;
    std::optional<QString> failure;
    try {
        QCoro::Task<std::optional<AgentLatestManifest>> fetching = m_dependencies.fetchLatestManifest();
        manifest = co_await std::move(fetching);
    } catch (...) {
        failure = describeCurrentException();
    }
    if (!self)
        co_return;
    if (failure) {
        co_await reportUpdateFailure(*failure);
        co_return;
    }
    if (!manifest) {
        setUpdateStatus(QStringLiteral("Der Agent ist aktuell."));
        setChecking(false);
        co_return;
    }

    setUpdateStatus(QStringLiteral("Version ") + manifest->version + QStringLiteral(" verfügbar."));
    Alert offer;
    offer.message = QStringLiteral("Update verfügbar");
    offer.informativeText = QStringLiteral("TRELLIUM Agent ") + manifest->version + QStringLiteral(" (Build ")
        + QString::number(manifest->build) + QStringLiteral(") ist verfügbar.\n\n") + manifest->releaseNotes;
    offer.buttons = {QStringLiteral("Laden"), QStringLiteral("Später")};
    const int answer = co_await m_dependencies.alerts->present(offer, QPointer<QWidget>(self.data()));
    if (!self)
        co_return;
    if (answer != 0) {
        setChecking(false);
        co_return;
    }

    setUpdateStatus(QStringLiteral("Installer wird geladen …"));
    // The indicator turns into a bar once the size is known.
    QPointer<QProgressBar> bar = m_updateProgress;
    DownloadProgress progress = [bar](qint64 received, qint64 expected) {
        if (!bar || expected <= 0)
            return;
        bar->setRange(0, 1000);
        bar->setValue(int(received * 1000 / expected));
    };
    try {
        QCoro::Task<void> loading = m_dependencies.downloadInstaller(*manifest, std::move(progress));
        co_await std::move(loading);
    } catch (...) {
        failure = describeCurrentException();
    }
    if (!self)
        co_return;
    if (failure) {
        co_await reportUpdateFailure(*failure);
        co_return;
    }
    setUpdateStatus(QStringLiteral("Installer wurde geöffnet."));
    setChecking(false);
}

QCoro::Task<void> AgentSettingsView::reportUpdateFailure(QString error)
{
    QPointer<AgentSettingsView> self(this);
    setUpdateStatus(QStringLiteral("Update fehlgeschlagen."));
    Alert alert;
    alert.message = QStringLiteral("Update konnte nicht geladen werden");
    alert.informativeText = error;
    co_await m_dependencies.alerts->present(alert, QPointer<QWidget>(this));
    if (self)
        setChecking(false);
}

} // namespace trellium
