// The status menu on a real X display with a tray host: this program starts
// its own Xvfb and trayer and runs on Qt's xcb platform (not offscreen),
// so it has a main of its own.
#include "agent/AgentStatusMenu.h"
#include "agent/AppDelegate.h"

#include "support/AgentWindowsHarness.h"
#include "support/ComponentFixtures.h"
#include "support/TestEnvironment.h"
#include "support/TestRunner.h"
#include "support/WindowPictures.h"
#include "support/XvfbDisplay.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string_view>
#include <sys/prctl.h>
#include <unistd.h>

using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;

namespace {

// An X display of its own with trayer holding the system-tray selection.
class TrayDisplay {
public:
    ~TrayDisplay()
    {
        m_trayer.terminate();
        m_trayer.waitForFinished();
    }

    bool start()
    {
        if (!m_x.painter())
            return false;
        m_trayer.setStandardInputFile(QProcess::nullDevice());
        m_trayer.setStandardOutputFile(QProcess::nullDevice());
        m_trayer.setStandardErrorFile(QProcess::nullDevice());
        m_trayer.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_trayer.start(QStringLiteral("/usr/bin/trayer"),
                       {"--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width", "160", "--height",
                        "32", "--SetDockType", "false", "--SetPartialStrut", "false"});
        xcb_connection_t *connection = m_x.painter();
        const std::string name = "_NET_SYSTEM_TRAY_S0";
        xcb_intern_atom_reply_t *atom =
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, name.size(), name.c_str()), nullptr);
        for (int attempt = 0; attempt < 600; ++attempt) {
            xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
                connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
            const bool owned = owner && owner->owner != XCB_NONE;
            free(owner);
            if (owned) {
                free(atom);
                return true;
            }
            ::usleep(50000);
        }
        free(atom);
        return false;
    }

    xcb_window_t root() const { return m_x.screen()->root; }

    // Where the window's middle is on the screen, as the X server has it.
    QPoint centreOf(xcb_window_t window) const
    {
        xcb_get_geometry_reply_t *geometry =
            xcb_get_geometry_reply(m_x.painter(), xcb_get_geometry(m_x.painter(), window), nullptr);
        xcb_translate_coordinates_reply_t *origin = xcb_translate_coordinates_reply(
            m_x.painter(), xcb_translate_coordinates(m_x.painter(), window, root(), 0, 0), nullptr);
        QPoint centre;
        if (geometry && origin)
            centre = QPoint(origin->dst_x + geometry->width / 2, origin->dst_y + geometry->height / 2);
        free(geometry);
        free(origin);
        return centre;
    }

    bool isViewable(xcb_window_t window) const
    {
        xcb_get_window_attributes_reply_t *attributes =
            xcb_get_window_attributes_reply(m_x.painter(), xcb_get_window_attributes(m_x.painter(), window), nullptr);
        const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        free(attributes);
        return viewable;
    }

    xcb_window_t parentOf(xcb_window_t window) const
    {
        xcb_query_tree_reply_t *tree = xcb_query_tree_reply(m_x.painter(), xcb_query_tree(m_x.painter(), window), nullptr);
        const xcb_window_t parent = tree ? tree->parent : XCB_NONE;
        free(tree);
        return parent;
    }

    // A real click through the X server, as a user's.
    void click(QPoint at, uint8_t button = 1) const
    {
        xcb_test_fake_input(m_x.painter(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root(), int16_t(at.x()),
                            int16_t(at.y()), 0);
        xcb_test_fake_input(m_x.painter(), XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(m_x.painter(), XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(m_x.painter());
    }

private:
    XvfbDisplay m_x{QSize(1024, 768)};
    QProcess m_trayer;
};

TrayDisplay *tray = nullptr;

// The native window Qt docks into the tray.
QWidget *trayIconWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qstrcmp(widget->metaObject()->className(), "QSystemTrayIconSys") == 0)
            return widget;
    }
    return nullptr;
}

class StatusTray : public DataHomeTest {
protected:
    // Opens the menu with a click on the icon, then clicks the entry.
    void choose(AgentStatusMenu *menu, QAction *entry)
    {
        const QPoint centre = tray->centreOf(xcb_window_t(trayIconWindow()->winId()));
        tray->click(centre);
        ASSERT_TRUE(waitUntil([&] { return menu->menu()->isVisible(); }, 10s)) << "menu did not open";
        ASSERT_TRUE(waitUntil([&] { return !menu->menu()->actionGeometry(entry).isEmpty(); }, 5s));
        const QPoint at = menu->menu()->mapToGlobal(menu->menu()->actionGeometry(entry).center());
        tray->click(at);
        ASSERT_TRUE(waitUntil([&] { return !menu->menu()->isVisible(); }, 10s)) << "menu did not close";
    }
};

} // namespace

TEST_F(StatusTray, IconSitsInTheTrayAndItsMenuOpensEachWindow)
{
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
    installManagedComponents();
    AgentWindowsHarness harness(scratch(QStringLiteral("tools")), true);
    harness.delegate().applicationDidFinishLaunching();
    AgentStatusMenu *menu = harness.delegate().statusMenu();
    ASSERT_NE(menu->trayIcon(), nullptr);
    EXPECT_TRUE(menu->trayIcon()->isVisible());
    EXPECT_EQ(menu->trayIcon()->toolTip(), QStringLiteral("TRELLIUM · Online"));

    // trayer has taken the icon's window in: its parent is no longer the root.
    ASSERT_TRUE(waitUntil([] { return trayIconWindow() != nullptr; }, 10s));
    const xcb_window_t icon = xcb_window_t(trayIconWindow()->winId());
    ASSERT_TRUE(waitUntil([&] { return tray->parentOf(icon) != tray->root() && tray->parentOf(icon) != XCB_NONE; }, 10s))
        << "the tray host did not embed the icon";
    // trayer lays its icons out after taking them in: wait until the icon is
    // shown where Qt, too, believes it is, and stays there.
    QPoint last;
    ASSERT_TRUE(waitUntil(
        [&] {
            const QPoint centre = tray->centreOf(icon);
            const bool settled = tray->isViewable(icon) && centre == last
                && menu->trayIcon()->geometry().contains(centre);
            last = centre;
            return settled;
        },
        10s));

    choose(menu, menu->settingsAction());
    ASSERT_TRUE(waitUntil([&] { return harness.delegate().settingsWindow() && harness.delegate().settingsWindow()->isVisible(); }, 10s));
    EXPECT_EQ(harness.delegate().settingsWindow()->size(), QSize(680, 620));

    choose(menu, menu->componentsAction());
    ASSERT_TRUE(waitUntil([&] { return harness.componentSetup->window() && harness.componentSetup->window()->isVisible(); }, 10s));
    EXPECT_EQ(harness.componentSetup->window()->size(), QSize(680, 650));

    choose(menu, menu->systemCheckAction());
    ASSERT_TRUE(waitUntil([&] { return harness.systemCheck.window() && harness.systemCheck.window()->isVisible(); }, 60s));
    EXPECT_EQ(harness.systemCheck.window()->size(), QSize(620, 520));

    // The tool tip follows the agent's status.
    choose(menu, menu->startStopAction());
    ASSERT_TRUE(waitUntil([&] { return menu->trayIcon()->toolTip() == QStringLiteral("TRELLIUM · Offline"); }, 5s));

    // The whole screen: the tray with the icon and the three windows.
    const QString path = QStringLiteral(TRELLIUM_BINARY_DIR "/window-pictures/status-tray-screen.png");
    EXPECT_TRUE(QGuiApplication::primaryScreen()->grabWindow(0).save(path));
    saveWindowPicture(harness.systemCheck.window(), QStringLiteral("status-tray-system-check"));
}

int main(int argc, char **argv)
{
    // Listing the tests needs no display.
    const bool listing = std::any_of(argv, argv + argc, [](const char *argument) {
        return std::string_view(argument) == "--gtest_list_tests";
    });
    if (listing) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return runAllTests(argc, argv);
    }
    TrayDisplay display;
    if (!display.start()) {
        std::fprintf(stderr, "Xvfb with trayer could not be started (both are installed by scripts/setup)\n");
        return 1;
    }
    tray = &display;
    qputenv("QT_QPA_PLATFORM", "xcb");
    // Without a session bus Qt docks the icon into the X tray itself. An
    // address that cannot connect rather than none: without one, libdbus
    // tries to launch a bus for the X display (and leaks when it cannot).
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/dev/null/no-session-bus");
    return runAllTests(argc, argv);
}
