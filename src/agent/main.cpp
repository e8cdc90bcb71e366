#include "agent/AgentManager.h"
#include "agent/AppDelegate.h"
#include "agent/WindowSystem.h"
#include "core/Errors.h"
#include "core/Files.h"
#include "core/Log.h"
#include "platform/instance/InstanceChannel.h"
#include "platform/instance/SingleInstance.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <utility>
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

using trellium::AppDelegate;

// The windows the names ask for, or the first name that names none (an
// empty one too).
struct WindowChoice {
    QList<AppDelegate::Window> windows;
    std::optional<QString> unknown;
};

WindowChoice windowsNamed(const QStringList &names)
{
    WindowChoice choice;
    for (const QString &name : names) {
        const auto window = AppDelegate::windowNamed(name);
        if (!window)
            return {{}, name};
        choice.windows.append(*window);
    }
    return choice;
}

QString unknownWindowText(const QString &name)
{
    return QStringLiteral("Unbekanntes Fenster: „%1“ (bekannt sind settings, components und systemcheck).").arg(name);
}

// A line for the user on standard error: what went wrong.
void sayError(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void sayError(const QString &prefix, const QString &value)
{
    sayError(prefix + QLatin1Char(' ') + value);
}

// A launch that does not become the agent says why (a failure on standard
// error) and ends with the returned code; nothing for the agent itself.
std::optional<int> endOtherLaunch(const trellium::SingleInstance::Launch &launch, const QString &dataFolder)
{
    using Outcome = trellium::SingleInstance::Outcome;
    switch (launch.outcome) {
    case Outcome::holder:
        return std::nullopt;
    case Outcome::handedOver:
        trellium::logLine(QStringLiteral("Die Fenster wurden im laufenden TRELLIUM-Agenten geöffnet."));
        return 0;
    case Outcome::alreadyRunning:
        sayError(QStringLiteral("Der TRELLIUM-Agent läuft bereits mit dem Datenordner %1; seine Fenster "
                                "öffnet „trellium-agent --open-window settings|components|systemcheck“.")
                     .arg(dataFolder));
        return 1;
    case Outcome::noAnswer:
        sayError(QStringLiteral("Der laufende TRELLIUM-Agent (Datenordner %1) antwortet nicht; die Fenster "
                                "wurden nicht geöffnet.")
                     .arg(dataFolder));
        return 1;
    case Outcome::ending:
        sayError(QStringLiteral("Der laufende TRELLIUM-Agent (Datenordner %1) wird gerade beendet; die Fenster "
                                "wurden nicht geöffnet.")
                     .arg(dataFolder));
        return 1;
    case Outcome::refused:
        sayError(QStringLiteral("Der laufende TRELLIUM-Agent hat die Fenster nicht geöffnet:"), launch.message);
        return 1;
    case Outcome::unreachable:
        sayError(QStringLiteral("Der laufende TRELLIUM-Agent ist nicht erreichbar:"), launch.message);
        return 1;
    case Outcome::failed:
        break;
    }
    sayError(QStringLiteral("Der TRELLIUM-Agent startet nicht:"), launch.message);
    return 1;
}

// The data folder's lock, held until the process ends (the kernel lets go
// of it then), past every destructor that may still touch the folder.
trellium::InstanceLock *heldLock = nullptr;

// One agent per data folder, decided before anything touches it: a second
// one would recover the first one's runtimes, sweep its partial files and
// start its machines. A launch that finds the agent running hands it the
// windows and ends with the returned code; nothing for the agent itself,
// which holds the folder until it ends.
std::optional<int> becomeTheAgentOrEnd(const QStringList &windowNames, const QString &dataFolder)
{
    if (const auto unknown = windowsNamed(windowNames).unknown) {
        sayError(unknownWindowText(*unknown));
        return 2;
    }
    trellium::SingleInstance::Launch launch = trellium::SingleInstance::launch(dataFolder, windowNames);
    if (const auto result = endOtherLaunch(launch, dataFolder))
        return result;
    heldLock = launch.lock.release();
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    // Where the desktop has no tray, the windows open from here.
    QCommandLineParser parser;
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption openWindow(
        QStringLiteral("open-window"),
        QStringLiteral("Öffnet ein Fenster im laufenden Agenten oder beim Start: settings, components oder "
                       "systemcheck (mehrfach möglich)."),
        QStringLiteral("fenster"));
    parser.addOption(openWindow);

    // A launch that hands its windows to the running agent needs no screen:
    // it decides before the application object looks for one. Qt's own
    // options (-platform, -display, ...) and the help are known only once
    // that object exists, so such a command line is decided after it.
    QStringList given;
    for (int i = 0; i < argc; ++i)
        given.append(QString::fromLocal8Bit(argv[i]));
    const bool decidedFirst =
        parser.parse(given) && !parser.isSet(help) && !parser.optionNames().contains(QStringLiteral("help-all"));
    const QString dataFolder = trellium::applicationSupportRoot();
    if (decidedFirst) {
        if (const auto result = becomeTheAgentOrEnd(parser.values(openWindow), dataFolder))
            return *result;
    }

    trellium::WindowSystem windowSystem = trellium::WindowSystem::start(argc, argv);
    QApplication &app = *windowSystem.application;
    QApplication::setApplicationName(QStringLiteral("TRELLIUM Agent"));
    QApplication::setQuitOnLastWindowClosed(false);
    parser.process(app);
    const QStringList windowNames = parser.values(openWindow);
    if (!decidedFirst) {
        if (const auto result = becomeTheAgentOrEnd(windowNames, dataFolder))
            return *result;
    }
    const QList<AppDelegate::Window> windows = windowsNamed(windowNames).windows;
    quitOnTerminationSignals(app);

    trellium::logLine(QStringLiteral("TRELLIUM data folder:"), dataFolder);
    auto &agent = trellium::AgentManager::shared();
    auto delegate = std::make_unique<trellium::AppDelegate>();
    delegate->applicationDidFinishLaunching();
    if (agent.server().isRunning())
        trellium::logLine(QStringLiteral("Local server listening on"),
                          trellium::AgentServer::listenAddress().toString() + QLatin1Char(':')
                              + QString::number(agent.server().port()));
    // Windows of an agent without a screen would be drawn nowhere: nobody
    // is told they opened.
    const bool withoutScreen = !windowSystem.noScreen.isEmpty();
    const QString noScreen =
        QStringLiteral("ohne Bildschirm gestartet (%1) und kann keine Fenster zeigen.").arg(windowSystem.noScreen);
    trellium::InstanceChannel windowRequests;
    try {
        const QString socket = trellium::SingleInstance::serve(
            dataFolder, windowRequests, [&](const QStringList &names) -> std::optional<QString> {
                const WindowChoice requested = windowsNamed(names);
                if (requested.unknown)
                    return unknownWindowText(*requested.unknown);
                if (withoutScreen)
                    return QStringLiteral("Er wurde ") + noScreen;
                trellium::logLine(QStringLiteral("WINDOW REQUEST:"), names.join(QLatin1Char(' ')));
                for (const auto window : requested.windows)
                    delegate->open(window);
                return std::nullopt;
            });
        trellium::logLine(QStringLiteral("WINDOW REQUESTS ON"), socket);
    } catch (const std::exception &error) {
        trellium::logLine(QStringLiteral("WINDOW REQUESTS UNAVAILABLE:"), trellium::describeError(error));
    }
    if (withoutScreen && !windows.isEmpty())
        sayError(QStringLiteral("Der TRELLIUM-Agent wurde ") + noScreen
                 + QStringLiteral(" Er läuft ohne sie weiter (verlangt: %1).")
                       .arg(windowNames.join(QStringLiteral(", "))));
    else
        for (const auto window : windows)
            delegate->open(window);
    const int result = app.exec();
    // Launches from now on wait for this process to let go of the folder.
    trellium::SingleInstance::withdraw(dataFolder, windowRequests);
    agent.stop();
    // Its waiting tasks (the setup window's delay) end once they learn on
    // the event loop that they were cancelled.
    delegate.reset();
    QCoreApplication::sendPostedEvents();
    return result;
}
