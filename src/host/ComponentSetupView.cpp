#include "host/ComponentSetupView.h"

#include "core/Async.h"
#include "host/AgentComponentManager.h"
#include "platform/desktop/DesktopOpener.h"
#include "platform/desktop/TextStyle.h"

#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QVBoxLayout>

namespace trellium {

namespace {

using Kind = AgentComponentManager::State::Kind;

const QString kReinstall = QStringLiteral("Reparieren");
const QString kInstall = QStringLiteral("Installieren");
const QString kWithHomebrew = QStringLiteral("Mit Homebrew installieren");
const QString kOpenHomebrew = QStringLiteral("Homebrew öffnen");

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QGroupBox *group(const QString &title, const QList<ComponentRow *> &rows, QWidget *parent)
{
    auto *box = new QGroupBox(title, parent);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(0);
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (i > 0)
            layout->addWidget(divider(box));
        layout->addWidget(rows.at(i));
    }
    return box;
}

} // namespace

const QUrl ComponentSetupView::kXcodeAppStoreURL(QStringLiteral("https://apps.apple.com/app/xcode/id497799835"));
const QUrl ComponentSetupView::kHomebrewURL(QStringLiteral("https://brew.sh/de/"));
const QUrl ComponentSetupView::kQEMUURL(QStringLiteral("https://www.qemu.org/"));
const QUrl ComponentSetupView::kPythonURL(QStringLiteral("https://www.python.org/"));

ComponentSetupView::ComponentSetupView(AgentComponentManager &components, DesktopOpener &opener, QWidget *parent)
    : QWidget(parent), m_components(components), m_opener(opener)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(18);

    auto *header = new QHBoxLayout;
    header->setSpacing(14);
    auto *symbol = new QLabel(this);
    SymbolIcon::apply(symbol, QStringLiteral("shippingbox.fill"), 34, SymbolTint::accent);
    header->addWidget(symbol, 0, Qt::AlignVCenter);
    auto *headerText = new QVBoxLayout;
    headerText->setSpacing(3);
    auto *title = new QLabel(QStringLiteral("TRELLIUM Komponenten"), this);
    TextStyle::apply(title, TextStyle::Size::title2, true);
    headerText->addWidget(title);
    m_headerLine = TextStyle::wrappingLabel({}, this);
    m_headerLine->setObjectName(QStringLiteral("headerLine"));
    TextStyle::setTint(m_headerLine, SymbolTint::secondary);
    headerText->addWidget(m_headerLine);
    header->addLayout(headerText, 1);
    column->addLayout(header);

    auto *intro = TextStyle::wrappingLabel(
        QStringLiteral("TRELLIUM prüft die Werkzeuge, die für Builds, Runtimes und Asset-Konvertierungen verwendet "
                       "werden. Verwaltete Komponenten werden im privaten TRELLIUM-Ordner installiert; "
                       "Apple-Systemwerkzeuge und Homebrew-Pakete verwenden ihren jeweiligen offiziellen "
                       "Installationsweg."),
        this);
    intro->setObjectName(QStringLiteral("intro"));
    TextStyle::setTint(intro, SymbolTint::secondary);
    column->addWidget(intro);

    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto *list = new QWidget(scroll);
    auto *groups = new QVBoxLayout(list);
    groups->setContentsMargins(0, 0, 0, 0);
    groups->setSpacing(10);
    for (size_t i = 0; i < kRowCount; ++i) {
        m_rows[i] = new ComponentRow(fields(Row(i)), m_opener, list);
        m_rows[i]->setObjectName(QStringLiteral("row%1").arg(i));
    }
    groups->addWidget(group(QStringLiteral("Von TRELLIUM verwaltet"), {row(Row::blender), row(Row::xcodeGen)}, list));
    groups->addWidget(group(QStringLiteral("System- und Runtime-Werkzeuge"),
                            {row(Row::xcode), row(Row::commandLineTools), row(Row::qemu), row(Row::python)}, list));
    groups->addStretch(1);
    scroll->setWidget(list);
    column->addWidget(scroll, 1);

    auto *footer = new QHBoxLayout;
    auto *hint = TextStyle::wrappingLabel(
        QStringLiteral("Komponenten können später jederzeit über das Menü „Komponenten“ repariert werden."), this);
    hint->setObjectName(QStringLiteral("footerHint"));
    TextStyle::apply(hint, TextStyle::Size::caption);
    TextStyle::setTint(hint, SymbolTint::secondary);
    footer->addWidget(hint, 1);
    m_close = new QPushButton(QStringLiteral("Schließen"), this);
    m_close->setObjectName(QStringLiteral("close"));
    connect(m_close, &QPushButton::clicked, this, [this]() { window()->close(); });
    footer->addWidget(m_close);
    m_installRequired = new QPushButton(QStringLiteral("Erforderliche installieren"), this);
    m_installRequired->setObjectName(QStringLiteral("installRequired"));
    m_installRequired->setDefault(true);
    connect(m_installRequired, &QPushButton::clicked, this, [this]() {
        startDetached(m_components.installMissingComponents(), QStringLiteral("Install missing components"));
    });
    footer->addWidget(m_installRequired);
    column->addLayout(footer);

    // Return presses the default button, as in a dialog.
    for (const QKeySequence &key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto *shortcut = new QShortcut(key, this);
        connect(shortcut, &QShortcut::activated, this, [this]() {
            if (m_installRequired->isEnabled())
                m_installRequired->click();
        });
    }

    connect(&m_components, &AgentComponentManager::changed, this, &ComponentSetupView::render);
    render();
}

bool ComponentSetupView::isBusy() const
{
    return m_components.state().isBusy() || m_components.xcodeGenState().isBusy() || m_components.qemuState().isBusy();
}

bool ComponentSetupView::requiredComponentsReady() const
{
    return m_components.state().kind() == Kind::installed && m_components.xcodeGenState().kind() == Kind::installed;
}

bool ComponentSetupView::isHomebrewAvailable() const
{
    return m_components.homebrewPath().has_value();
}

bool ComponentSetupView::isHomebrewPython(const QString &path) const
{
    if (path.startsWith(QLatin1String("/opt/homebrew/")) || path.startsWith(QLatin1String("/usr/local/")))
        return true;
    // Homebrew's own prefix wherever it lives (on Linux /home/linuxbrew/.linuxbrew).
    const auto brew = m_components.homebrewPath();
    if (!brew || !brew->endsWith(QLatin1String("/bin/brew")))
        return false;
    const QString prefix = brew->chopped(int(qstrlen("bin/brew")));
    return path.startsWith(prefix);
}

QString ComponentSetupView::pythonActionTitle() const
{
    if (!isHomebrewAvailable())
        return kOpenHomebrew;
    const auto python = m_components.python3Path();
    return python && isHomebrewPython(*python) ? kReinstall : kWithHomebrew;
}

void ComponentSetupView::homebrewAction(const std::function<void()> &install) const
{
    if (isHomebrewAvailable())
        install();
    else
        m_opener.openUrl(kHomebrewURL);
}

void ComponentSetupView::installOrRepairPython() const
{
    const auto python = m_components.python3Path();
    if (python && isHomebrewPython(*python))
        startDetached(m_components.repairPythonWithHomebrew(), QStringLiteral("Python repair"));
    else
        startDetached(m_components.installPythonWithHomebrew(), QStringLiteral("Python installation"));
}

ComponentRow::Fields ComponentSetupView::fields(Row row) const
{
    AgentComponentManager &components = m_components;
    const auto managed = [&components](const QString &id, const QString &icon, const QString &title,
                                       const QString &detail, const AgentComponentManager::State &state,
                                       std::function<void()> action) {
        const auto component = components.componentWithID(id);
        ComponentRow::Fields fields;
        fields.icon = icon;
        fields.title = title.arg(component ? component->version : QString());
        fields.purpose = component ? component->purpose : QString();
        fields.detail = detail;
        fields.state = state;
        fields.actionTitle = state.kind() == Kind::installed ? kReinstall : kInstall;
        fields.action = std::move(action);
        if (component)
            fields.links = {{QStringLiteral("Lizenz"), component->licenseURL},
                            {QStringLiteral("Quellcode"), component->sourceCodeURL}};
        return fields;
    };

    ComponentRow::Fields fields;
    switch (row) {
    case Row::blender:
        return managed(QStringLiteral("blender"), QStringLiteral("cube.transparent"), QStringLiteral("Blender %1 LTS"),
                       components.statusDetail(), components.state(), [&components]() {
                           startDetached(components.installBlender(), QStringLiteral("Blender installation"));
                       });
    case Row::xcodeGen:
        return managed(QStringLiteral("xcodegen"), QStringLiteral("hammer"), QStringLiteral("XcodeGen %1"),
                       components.xcodeGenDetail(), components.xcodeGenState(), [&components]() {
                           startDetached(components.installXcodeGen(), QStringLiteral("XcodeGen installation"));
                       });
    case Row::xcode:
        fields = {QStringLiteral("hammer.circle"), QStringLiteral("Xcode"),
                  QStringLiteral("Kompilieren, Testen und Signieren von Apple-Projekten"), components.xcodeDetail(),
                  components.xcodeState(), QStringLiteral("App Store öffnen"),
                  [this]() { m_opener.openUrl(kXcodeAppStoreURL); }, {}};
        return fields;
    case Row::commandLineTools:
        fields = {QStringLiteral("terminal"), QStringLiteral("Apple Command Line Tools"),
                  QStringLiteral("Swift, Git und Apple-Kommandozeilenwerkzeuge"), components.commandLineToolsDetail(),
                  components.commandLineToolsState(), kInstall,
                  [&components]() { components.installCommandLineTools(); }, {}};
        return fields;
    case Row::qemu:
        fields = {QStringLiteral("memorychip"), QStringLiteral("QEMU / qemu-img"),
                  QStringLiteral("Umwandlung heruntergeladener Linux-Images für TRELLIUM Runtimes"),
                  components.qemuDetail(), components.qemuState(),
                  isHomebrewAvailable() ? kWithHomebrew : kOpenHomebrew,
                  [this, &components]() {
                      homebrewAction([&components]() {
                          startDetached(components.installQEMUWithHomebrew(), QStringLiteral("QEMU installation"));
                      });
                  },
                  {{QStringLiteral("QEMU"), kQEMUURL}}};
        return fields;
    case Row::python:
        fields = {QStringLiteral("chevron.left.forwardslash.chevron.right"), QStringLiteral("Python 3"),
                  QStringLiteral("Ausführen, Testen und Verwalten von Python-Projekten"), components.pythonDetail(),
                  components.pythonState(), pythonActionTitle(),
                  [this]() { homebrewAction([this]() { installOrRepairPython(); }); },
                  {{QStringLiteral("Python"), kPythonURL}}};
        return fields;
    }
    return fields;
}

void ComponentSetupView::render()
{
    for (size_t i = 0; i < kRowCount; ++i)
        m_rows[i]->setFields(fields(Row(i)));
    const bool ready = requiredComponentsReady();
    m_headerLine->setText(ready ? QStringLiteral("Die von TRELLIUM verwalteten Kernkomponenten sind bereit.")
                                : QStringLiteral("Einige Funktionen benötigen noch zusätzliche Komponenten."));
    const bool busy = isBusy();
    m_close->setEnabled(!busy);
    m_installRequired->setEnabled(!ready && !busy);
}

void ComponentSetupView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Awaited, not waited for: the probes it runs must not freeze the window.
    startDetached(m_components.refreshStatus(), QStringLiteral("Component status refresh"));
    render();
}

} // namespace trellium
