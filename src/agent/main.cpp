#include "agent/AgentManager.h"
#include "agent/AppDelegate.h"
#include "core/Files.h"
#include "core/Log.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop normally, so children and files are
// cleaned up as on a quit from the menu.
void quitOnTerminationSignals(QCoreApplication &app)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app]() {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    // Without a display the agent still runs, just without windows.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TRELLIUM Agent"));
    QApplication::setQuitOnLastWindowClosed(false);

    // Where the desktop has no tray, the windows open from here.
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption openWindow(
        QStringLiteral("open-window"),
        QStringLiteral("Öffnet beim Start ein Fenster: settings, components oder systemcheck (mehrfach möglich)."),
        QStringLiteral("fenster"));
    parser.addOption(openWindow);
    parser.process(app);
    QList<trellium::AppDelegate::Window> windows;
    for (const QString &name : parser.values(openWindow)) {
        const auto window = trellium::AppDelegate::windowNamed(name);
        if (!window) {
            trellium::logLine(QStringLiteral("Unbekanntes Fenster:"), name);
            return 2;
        }
        windows.append(*window);
    }
    quitOnTerminationSignals(app);

    trellium::logLine(QStringLiteral("TRELLIUM data folder:"), trellium::applicationSupportRoot());
    auto &agent = trellium::AgentManager::shared();
    trellium::AppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    if (agent.server().isRunning())
        trellium::logLine(QStringLiteral("Local server listening on"),
                          trellium::AgentServer::listenAddress().toString() + QLatin1Char(':')
                              + QString::number(agent.server().port()));
    for (const auto window : windows)
        delegate.open(window);
    const int result = app.exec();
    agent.stop();
    return result;
}
