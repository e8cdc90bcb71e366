#include "host/SystemCheckRow.h"
#include "host/SystemCheckView.h"
#include "host/SystemCheckWindowController.h"

#include "support/WindowPictures.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>

using namespace trellium;
using namespace trellium::test;

namespace {

SystemCheckItem item(const QString &title, SystemCheckCategory category, SystemCheckState state,
                     const QString &detail = QStringLiteral("Detail"))
{
    SystemCheckItem made;
    made.title = title;
    made.category = category;
    made.state = state;
    made.detail = detail;
    return made;
}

QStringList titles(const QList<SystemCheckRow *> &rows)
{
    QStringList names;
    for (const SystemCheckRow *row : rows)
        names.append(row->findChild<QLabel *>(QStringLiteral("title"))->text());
    return names;
}

// Items as a check lists them: not in category order.
SystemCheckResult mixedResult()
{
    SystemCheckResult result;
    result.items = {
        item(QStringLiteral("Agent Status"), SystemCheckCategory::agent, SystemCheckState::passed, QStringLiteral("online")),
        item(QStringLiteral("Lokaler Server"), SystemCheckCategory::network, SystemCheckState::passed,
             QStringLiteral("Port 9876")),
        item(QStringLiteral("Relay"), SystemCheckCategory::network, SystemCheckState::warning,
             QStringLiteral("Nicht verbunden")),
        item(QStringLiteral("Xcode"), SystemCheckCategory::appleToolchain, SystemCheckState::failed,
             QStringLiteral("/Applications/Xcode.app")),
        item(QStringLiteral("Blender"), SystemCheckCategory::components, SystemCheckState::warning,
             QStringLiteral("Für 3D-Konvertierungen erforderlich")),
        item(QStringLiteral("Swift"), SystemCheckCategory::appleToolchain, SystemCheckState::failed,
             QStringLiteral("Die Datei „/usr/bin/swift“ konnte nicht gestartet werden: No such file or directory")),
        item(QStringLiteral("Hostname"), SystemCheckCategory::system, SystemCheckState::passed, QStringLiteral("werkbank")),
        item(QStringLiteral("Runtime Manager"), SystemCheckCategory::runtime, SystemCheckState::passed,
             QStringLiteral("Verfügbar")),
    };
    return result;
}

} // namespace

TEST(SystemCheckWindow, VerdictAndCountsFollowTheWorstItemAndItemsAreGroupedByCategory)
{
    SystemCheckResult result;
    const auto shown = [&result]() {
        SystemCheckView view(result);
        return view.verdictLabel()->text() + QLatin1Char('|') + view.countsLabel()->text();
    };
    EXPECT_EQ(shown(), QStringLiteral("System bereit|0 erfolgreich · 0 Warnungen · 0 Fehler"));
    result.items = {item(QStringLiteral("A"), SystemCheckCategory::agent, SystemCheckState::passed)};
    EXPECT_EQ(shown(), QStringLiteral("System bereit|1 erfolgreich · 0 Warnungen · 0 Fehler"));
    // One warning is still "Warnungen".
    result.items.append(item(QStringLiteral("B"), SystemCheckCategory::network, SystemCheckState::warning));
    EXPECT_EQ(shown(), QStringLiteral("System bereit mit Warnungen|1 erfolgreich · 1 Warnungen · 0 Fehler"));
    result.items.append(item(QStringLiteral("C"), SystemCheckCategory::network, SystemCheckState::failed));
    EXPECT_EQ(shown(), QStringLiteral("System nicht bereit|1 erfolgreich · 1 Warnungen · 1 Fehler"));

    // Items are grouped by category in the declared order.
    SystemCheckView view(mixedResult());
    view.resize(SystemCheckView::kContentSize);
    view.show();
    // No heading for categories without items (projectTools, workspace).
    EXPECT_EQ(view.sectionTitles(),
              (QStringList{QStringLiteral("Agent"), QStringLiteral("Komponenten"), QStringLiteral("Netzwerk"),
                           QStringLiteral("Apple Toolchain"), QStringLiteral("Runtime"), QStringLiteral("System")}));
    // Inside a section the result's order holds.
    EXPECT_EQ(titles(view.rows(QStringLiteral("Netzwerk"))), (QStringList{QStringLiteral("Lokaler Server"), QStringLiteral("Relay")}));
    EXPECT_EQ(titles(view.rows(QStringLiteral("Apple Toolchain"))), (QStringList{QStringLiteral("Xcode"), QStringLiteral("Swift")}));

    const SystemCheckRow *relay = view.rows(QStringLiteral("Netzwerk")).at(1);
    EXPECT_EQ(relay->findChild<QLabel *>(QStringLiteral("symbol"))->property("symbol").toString(),
              QStringLiteral("exclamationmark.triangle.fill"));
    EXPECT_EQ(relay->findChild<QLabel *>(QStringLiteral("detail"))->text(), QStringLiteral("Nicht verbunden"));
    EXPECT_EQ(view.verdictLabel()->text(), QStringLiteral("System nicht bereit"));
    saveWindowPicture(&view, QStringLiteral("system-check-mixed"));
}

// Unlike the component window, the check window is kept when closed: every
// result shows in the same window.
TEST(SystemCheckWindow, EveryResultShowsInTheOneWindow)
{
    SystemCheckWindowController controller;
    EXPECT_EQ(controller.window(), nullptr);
    controller.show(mixedResult());
    QPointer<QWidget> window = controller.window();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->size(), QSize(620, 520));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("TRELLIUM Systemcheck"));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(controller.view()->verdictLabel()->text(), QStringLiteral("System nicht bereit"));
    saveWindowPicture(window, QStringLiteral("system-check-window"));

    SystemCheckResult second;
    second.items = {item(QStringLiteral("Agent Status"), SystemCheckCategory::agent, SystemCheckState::passed)};
    controller.show(second);
    EXPECT_EQ(controller.window(), window.data());
    EXPECT_EQ(controller.view()->verdictLabel()->text(), QStringLiteral("System bereit"));
    // The old result is gone, not stacked under the new one.
    EXPECT_EQ(window->findChildren<SystemCheckView *>().size(), 1);

    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_TRUE(window);
    EXPECT_FALSE(window->isVisible());
    controller.show(mixedResult());
    EXPECT_EQ(controller.window(), window.data());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(controller.view()->sectionTitles().size(), 6);
    saveWindowPicture(window, QStringLiteral("system-check-window-again"));
}
