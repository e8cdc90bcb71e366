#include "host/AgentComponentManager.h"
#include "host/ComponentRow.h"
#include "host/ComponentSetupView.h"
#include "host/ComponentSetupWindowController.h"

#include "core/Files.h"
#include "support/ComponentFixtures.h"
#include "support/HttpTestServer.h"
#include "support/RecordingDesktopOpener.h"
#include "support/TestEnvironment.h"
#include "support/WindowPictures.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QVBoxLayout>

using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;
using Kind = AgentComponentManager::State::Kind;
using State = AgentComponentManager::State;
using Row = ComponentSetupView::Row;

namespace {

const QByteArray kBlenderPath = "/release/blender.dmg";
const QByteArray kXcodeGenPath = "/release/xcodegen.zip";

// A host whose tools all live in the test's own folders: a Homebrew prefix
// (brew, qemu-img, python3), a system python3, xcode-select, the disk-image
// tools, and a local download server for the managed components.
class ComponentSetupWindow : public DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        m_root = scratch(QStringLiteral("host"));
        m_server = std::make_unique<HttpTestServer>(HttpTestServer::Scheme::https);
        auto &tools = m_dependencies.tools;
        tools.qemuImg = {brewPrefix() + QStringLiteral("/bin/qemu-img")};
        tools.python3 = {brewPrefix() + QStringLiteral("/bin/python3"), m_root + QStringLiteral("/usr/bin/python3")};
        tools.homebrew = {brewPrefix() + QStringLiteral("/bin/brew")};
        tools.xcodeApplications = {m_root + QStringLiteral("/Applications/Xcode.app")};
        tools.xcodeSelect = m_root + QStringLiteral("/usr/bin/xcode-select");
        tools.hdiutil = m_root + QStringLiteral("/usr/bin/hdiutil");
        tools.ditto = m_root + QStringLiteral("/usr/bin/ditto");
        tools.codesign = m_root + QStringLiteral("/usr/bin/codesign");
        for (const QString &tool : {tools.hdiutil, tools.ditto, tools.codesign})
            writeExecutable(tool, "#!/bin/sh\nexit 0\n");
        m_dependencies.tlsConfiguration = HttpTestServer::clientConfiguration();
        m_dependencies.temporaryDirectory = scratch(QStringLiteral("tmp"));
        m_dependencies.downloadIdleTimeout = 60s;
        for (AgentComponent &component : m_dependencies.manifest.components) {
            AgentComponentArtifact &artifact = component.artifacts[agentArchitecture()];
            artifact.downloadURL = m_server->url(component.id == QStringLiteral("blender") ? QString::fromLatin1(kBlenderPath)
                                                                                         : QString::fromLatin1(kXcodeGenPath));
            artifact.sha256 = QString(64, QLatin1Char('0'));
        }
    }

    QString brewPrefix() const { return m_root + QStringLiteral("/linuxbrew"); }
    QString brewLog() const { return m_root + QStringLiteral("/brew.log"); }

    // Homebrew that logs its arguments; `body` runs after that.
    void installHomebrew(const QByteArray &body = {})
    {
        writeExecutable(brewPrefix() + QStringLiteral("/bin/brew"),
                        "#!/bin/sh\necho \"$*\" >> '" + brewLog().toUtf8() + "'\n" + body);
    }

    QStringList brewCalls() const { return fileLines(brewLog()); }

    void installPython(const QString &path, const QByteArray &version, bool complete = true)
    {
        writeExecutable(path, "#!/bin/sh\nprintf '" + version + "\\n1\\n" + (complete ? "1" : "0") + "\\n1\\n'\n");
    }

    void installEverything()
    {
        installManagedComponents();
        QDir().mkpath(m_root + QStringLiteral("/Applications/Xcode.app"));
        QDir().mkpath(m_root + QStringLiteral("/Developer"));
        writeExecutable(m_dependencies.tools.xcodeSelect, "#!/bin/sh\necho '" + m_root.toUtf8() + "/Developer'\n");
        writeExecutable(brewPrefix() + QStringLiteral("/bin/qemu-img"), "#!/bin/sh\n");
        installHomebrew();
        installPython(brewPrefix() + QStringLiteral("/bin/python3"), "3.12.4");
    }

    std::unique_ptr<AgentComponentManager> makeManager()
    {
        auto manager = std::make_unique<AgentComponentManager>(m_dependencies);
        runSync(manager->refreshStatus());
        return manager;
    }

    static QString stateText(ComponentSetupView &view, Row row) { return view.row(row)->stateLabel()->text(); }
    static QString actionText(ComponentSetupView &view, Row row) { return view.row(row)->actionButton()->text(); }
    static bool actionShown(ComponentSetupView &view, Row row) { return !view.row(row)->actionButton()->isHidden(); }
    static bool actionEnabled(ComponentSetupView &view, Row row) { return view.row(row)->actionButton()->isEnabled(); }
    static bool progressShown(ComponentSetupView &view, Row row) { return !view.row(row)->progress()->isHidden(); }

    QString m_root;
    std::unique_ptr<HttpTestServer> m_server;
    AgentComponentManager::Dependencies m_dependencies;
    RecordingDesktopOpener m_opener;
};

} // namespace

// Every state a tool can be in: the label, its colour, the progress
// indicator and the button; an installed tool keeps only a repair button.
TEST(ComponentSetupRow, FollowsEveryStateOfATool)
{
    const QList<State> cases{Kind::checking,   Kind::notInstalled, Kind::downloading,
                             Kind::verifying,  Kind::installing,   Kind::installed,
                             State::failed(QStringLiteral("Der Blender-Downloadserver hat keine gültige Antwort geliefert."))};
    RecordingDesktopOpener opener;
    QWidget sheet;
    auto *layout = new QVBoxLayout(&sheet);
    for (const State &state : cases) {
        int pressed = 0;
        auto *row = new ComponentRow({QStringLiteral("hammer"), QStringLiteral("Werkzeug"), QStringLiteral("Zweck"),
                                      QStringLiteral("Detail"), state, QStringLiteral("Installieren"),
                                      [&pressed]() { ++pressed; }, {}},
                                     opener, &sheet);
        layout->addWidget(row);
        SCOPED_TRACE(int(state.kind()));
        EXPECT_EQ(!row->progress()->isHidden(), state.isBusy());
        EXPECT_EQ(row->actionButton()->isEnabled(), !state.isBusy());
        EXPECT_EQ(row->actionButton()->isHidden(), state.kind() == Kind::installed);
        row->actionButton()->click();
        EXPECT_EQ(pressed, state.isBusy() ? 0 : 1);
        ComponentRow::Fields repair = row->fields();
        repair.actionTitle = QStringLiteral("Reparieren");
        row->setFields(repair);
        EXPECT_FALSE(row->actionButton()->isHidden());
    }
    sheet.show();
    saveWindowPicture(&sheet, QStringLiteral("component-row-states"));
}

TEST_F(ComponentSetupWindow, WithNothingInstalledEveryRowOffersItsWayInAndReturnInstallsTheRequiredComponents)
{
    m_server->route(kBlenderPath, HttpResponse::withStatus(404));
    m_server->route(kXcodeGenPath, HttpResponse::withStatus(404));
    auto manager = makeManager();
    ComponentSetupWindowController controller(*manager, m_opener);
    controller.show();
    auto &view = *qobject_cast<ComponentSetupView *>(controller.window());
    for (size_t i = 0; i < ComponentSetupView::kRowCount; ++i) {
        EXPECT_EQ(stateText(view, Row(i)), QStringLiteral("Nicht installiert")) << i;
        EXPECT_TRUE(actionShown(view, Row(i))) << i;
        EXPECT_TRUE(actionEnabled(view, Row(i))) << i;
    }
    EXPECT_TRUE(view.installRequiredButton()->isEnabled());
    EXPECT_TRUE(view.closeButton()->isEnabled());
    saveWindowPicture(&view, QStringLiteral("component-setup-nothing-installed"));

    // Without Homebrew the QEMU and Python buttons only open its web site.
    view.row(Row::qemu)->actionButton()->click();
    view.row(Row::python)->actionButton()->click();
    view.row(Row::xcode)->actionButton()->click();
    ASSERT_EQ(view.row(Row::blender)->linkButtons().size(), 2);
    view.row(Row::blender)->linkButtons().at(1)->click();
    EXPECT_EQ(m_opener.opened, (QList<QUrl>{ComponentSetupView::kHomebrewURL, ComponentSetupView::kHomebrewURL,
                                             ComponentSetupView::kXcodeAppStoreURL,
                                             manager->componentWithID(QStringLiteral("blender"))->sourceCodeURL}));
    EXPECT_EQ(manager->qemuState().kind(), Kind::notInstalled);
    EXPECT_EQ(manager->pythonState().kind(), Kind::notInstalled);

    // Return installs the required components.
    QApplication::setActiveWindow(&view);
    QTest::keyClick(&view, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return m_server->count("GET", kBlenderPath) == 1; }, 20s));
    EXPECT_EQ(m_server->count("GET", kXcodeGenPath), 1);
    ASSERT_TRUE(waitUntil([&] { return !manager->state().isBusy() && !manager->xcodeGenState().isBusy(); }, 20s));
    EXPECT_EQ(stateText(view, Row::blender), QStringLiteral("Installation fehlgeschlagen"));
    EXPECT_TRUE(view.installRequiredButton()->isEnabled());
    saveWindowPicture(&view, QStringLiteral("component-setup-failed-downloads"));
}

TEST_F(ComponentSetupWindow, WithEverythingInstalledOnlyRepairsAreOffered)
{
    installEverything();
    auto manager = makeManager();
    ComponentSetupView view(*manager, m_opener);
    view.resize(ComponentSetupView::kContentSize);
    view.show();
    for (size_t i = 0; i < ComponentSetupView::kRowCount; ++i)
        EXPECT_EQ(stateText(view, Row(i)), QStringLiteral("Installiert")) << i;
    EXPECT_FALSE(view.installRequiredButton()->isEnabled());
    EXPECT_FALSE(actionShown(view, Row::xcode));
    EXPECT_FALSE(actionShown(view, Row::commandLineTools));
    EXPECT_FALSE(actionShown(view, Row::qemu));
    // Homebrew's own Python (under its prefix, here a Linux one) is repaired.
    EXPECT_TRUE(actionShown(view, Row::python));
    EXPECT_EQ(actionText(view, Row::python), QStringLiteral("Reparieren"));
    saveWindowPicture(&view, QStringLiteral("component-setup-all-installed"));

    view.row(Row::python)->actionButton()->click();
    ASSERT_TRUE(waitUntil([&] { return brewCalls() == QStringList{QStringLiteral("reinstall python")}; }, 10s))
        << brewCalls().join(QLatin1Char('|')).toStdString();
    ASSERT_TRUE(waitUntil([&] { return manager->pythonState().kind() == Kind::installed; }, 10s));
}

// One window until closed. A tool that is installing locks the window's two
// buttons and its own button, but not the window's close control; the
// installation outlives the window and the next window shows how it ended.
TEST_F(ComponentSetupWindow, IsOneWindowWhereBusyToolsLockTheButtonsAndSurviveTheWindow)
{
    const QString release = m_root + QStringLiteral("/release-brew");
    installHomebrew("while [ ! -e '" + release.toUtf8() + "' ]; do sleep 0.05; done\n"
                    "printf '#!/bin/sh\\n' > '" + brewPrefix().toUtf8() + "/bin/qemu-img'\n"
                    "chmod +x '" + brewPrefix().toUtf8() + "/bin/qemu-img'\n");
    auto manager = makeManager();
    ComponentSetupWindowController controller(*manager, m_opener);
    EXPECT_EQ(controller.window(), nullptr);
    controller.show();
    auto *view = qobject_cast<ComponentSetupView *>(controller.window());
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->size(), QSize(680, 650));
    EXPECT_EQ(view->minimumSize(), QSize(620, 560));
    EXPECT_EQ(view->windowTitle(), QStringLiteral("TRELLIUM Komponenten"));
    EXPECT_TRUE(view->isVisible());
    saveWindowPicture(view, QStringLiteral("component-setup-window"));
    controller.show();
    EXPECT_EQ(controller.window(), view);

    view->row(Row::qemu)->actionButton()->click();
    ASSERT_TRUE(waitUntil([&] { return manager->qemuState().kind() == Kind::installing; }, 10s));
    EXPECT_TRUE(progressShown(*view, Row::qemu));
    EXPECT_FALSE(actionEnabled(*view, Row::qemu));
    EXPECT_FALSE(view->closeButton()->isEnabled());
    EXPECT_FALSE(view->installRequiredButton()->isEnabled());
    EXPECT_FALSE(progressShown(*view, Row::python));
    saveWindowPicture(view, QStringLiteral("component-setup-busy"));

    // The window's own close control still works.
    view->close();
    EXPECT_EQ(controller.window(), nullptr);
    writeFileAtomically(release, {});
    ASSERT_TRUE(waitUntil([&] { return manager->qemuState().kind() == Kind::installed; }, 20s));

    controller.show();
    QPointer<ComponentSetupView> next = qobject_cast<ComponentSetupView *>(controller.window());
    ASSERT_TRUE(next);
    EXPECT_EQ(stateText(*next, Row::qemu), QStringLiteral("Installiert"));
    EXPECT_FALSE(actionShown(*next, Row::qemu));
    EXPECT_FALSE(progressShown(*next, Row::qemu));
    // "Schließen" closes it as well, and the window goes.
    next->closeButton()->click();
    EXPECT_EQ(controller.window(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(next.isNull());
}

// Failures show as one label; their text goes to the detail line. Homebrew
// can print megabytes before it fails: the row shows the end of it, wrapped
// inside the window.
TEST_F(ComponentSetupWindow, FailuresShowTheirTextInTheDetailLine)
{
    installHomebrew("i=0; while [ $i -lt 20000 ]; do echo 'Error: qemu: the formula could not be built for this host'; "
                    "i=$((i+1)); done\necho 'letzte Zeile'\nexit 1\n");
    installPython(m_root + QStringLiteral("/usr/bin/python3"), "3.10.12");
    auto manager = makeManager();
    ComponentSetupWindowController controller(*manager, m_opener);
    controller.show();
    auto *view = qobject_cast<ComponentSetupView *>(controller.window());
    EXPECT_EQ(stateText(*view, Row::python), QStringLiteral("Installation fehlgeschlagen"));
    EXPECT_EQ(view->row(Row::python)->stateLabel()->property("tint").toString(), QStringLiteral("red"));
    EXPECT_EQ(view->row(Row::python)->detailLabel()->text(),
              QStringLiteral("Fehlt: Python 3.11+ · ") + m_root + QStringLiteral("/usr/bin/python3"));
    // A Python outside Homebrew is not Homebrew's to repair: it installs its own.
    EXPECT_EQ(actionText(*view, Row::python), QStringLiteral("Mit Homebrew installieren"));
    view->row(Row::python)->actionButton()->click();
    ASSERT_TRUE(waitUntil([&] { return brewCalls().startsWith(QStringLiteral("install python")); }, 10s));

    view->row(Row::qemu)->actionButton()->click();
    ASSERT_TRUE(waitUntil([&] { return manager->qemuState().kind() == Kind::failed; }, 20s));
    EXPECT_GT(manager->qemuDetail().size(), 1000000);
    QLabel *detail = view->row(Row::qemu)->detailLabel();
    EXPECT_TRUE(detail->text().startsWith(QStringLiteral("… ")));
    EXPECT_TRUE(detail->text().endsWith(QStringLiteral("letzte Zeile")));
    EXPECT_LE(detail->text().size(), 2002);
    // Wrapped over many lines, none of it cut off.
    EXPECT_TRUE(waitUntil([&] { return detail->height() > 4 * detail->fontMetrics().height(); }, 2s))
        << detail->height();
    EXPECT_TRUE(waitUntil([&] { return detail->height() >= detail->heightForWidth(detail->width()); }, 2s))
        << detail->height() << " of " << detail->heightForWidth(detail->width());
    EXPECT_EQ(stateText(*view, Row::qemu), QStringLiteral("Installation fehlgeschlagen"));
    EXPECT_EQ(view->size(), QSize(680, 650));
    // The button stays, titled as before, for another try.
    EXPECT_EQ(actionText(*view, Row::qemu), QStringLiteral("Mit Homebrew installieren"));
    EXPECT_TRUE(actionEnabled(*view, Row::qemu));
    view->findChild<QScrollArea *>()->ensureWidgetVisible(view->row(Row::qemu)->actionButton());
    saveWindowPicture(view, QStringLiteral("component-setup-long-failure"));
}
