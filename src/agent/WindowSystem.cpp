#include "agent/WindowSystem.h"

#include <QList>
#include <QMutex>

#include <cstring>

namespace trellium {

namespace {

const QByteArray kOffscreen = QByteArrayLiteral("offscreen");
const char *const kPlatformVariable = "QT_QPA_PLATFORM";

// Qt's warnings while it looks for its screen, held back until it is known
// whether the agent explains a failure itself.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
QMutex heldMutex;
QList<HeldMessage> held;
QtMessageHandler previousHandler = nullptr;

void holdPlatformMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const QByteArray category(context.category ? context.category : "");
    if (type != QtFatalMsg && category.startsWith("qt.qpa")) {
        const QMutexLocker lock(&heldMutex);
        held.append({type, category, text});
        return;
    }
    // Qt hands out its default handler when none was installed: never null.
    previousHandler(type, context, text);
}

// Undoes a change of the environment: children the agent starts (and the
// programs the desktop opens for it) choose their own screen.
class ScopedPlatformVariable {
public:
    explicit ScopedPlatformVariable(const QByteArray &value)
        : m_hadPrevious(qEnvironmentVariableIsSet(kPlatformVariable)), m_previous(qgetenv(kPlatformVariable))
    {
        if (!value.isEmpty())
            qputenv(kPlatformVariable, value);
    }
    ~ScopedPlatformVariable()
    {
        if (m_hadPrevious)
            qputenv(kPlatformVariable, m_previous);
        else
            qunsetenv(kPlatformVariable);
    }
    ScopedPlatformVariable(const ScopedPlatformVariable &) = delete;
    ScopedPlatformVariable &operator=(const ScopedPlatformVariable &) = delete;

private:
    bool m_hadPrevious;
    QByteArray m_previous;
};

QString whyNoScreenAnswered()
{
    QStringList named;
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        if (!qEnvironmentVariableIsEmpty(name))
            named.append(QStringLiteral("%1=%2").arg(QString::fromLatin1(name), qEnvironmentVariable(name)));
    }
    if (named.size() == 2)
        return QStringLiteral("weder %1 noch %2 antwortet").arg(named.first(), named.last());
    if (named.size() == 1)
        return QStringLiteral("%1 antwortet nicht").arg(named.first());
    return QStringLiteral("%1=%2 startet nicht").arg(QString::fromLatin1(kPlatformVariable), qEnvironmentVariable(kPlatformVariable));
}

// Qt's -platform option names the platform over the environment: the
// user's choice, taken as it stands.
bool platformGiven(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

// The platforms Qt is to try, in its own order, offscreen last; empty
// where the environment names no screen.
QByteArray platformsToTry()
{
    QByteArrayList platforms;
    const QByteArray chosen = qgetenv(kPlatformVariable);
    if (!chosen.isEmpty()) {
        platforms = chosen.split(';');
    } else {
        if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            return {};
        // Qt's own order where nobody chose: Wayland in a Wayland session, then X.
        if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == "wayland")
            platforms.append(QByteArrayLiteral("wayland"));
        platforms.append(QByteArrayLiteral("xcb"));
    }
    if (!platforms.contains(kOffscreen))
        platforms.append(kOffscreen);
    return platforms.join(';');
}

} // namespace

WindowSystem WindowSystem::start(int &argc, char **argv)
{
    WindowSystem system;
    if (platformGiven(argc, argv)) {
        system.application = std::make_unique<QApplication>(argc, argv);
        return system;
    }
    const QByteArray platforms = platformsToTry();
    if (platforms.isEmpty()) {
        const ScopedPlatformVariable offscreen(kOffscreen);
        system.application = std::make_unique<QApplication>(argc, argv);
        system.noScreen = QStringLiteral("weder DISPLAY noch WAYLAND_DISPLAY war gesetzt");
        return system;
    }
    {
        const ScopedPlatformVariable variable(platforms);
        previousHandler = qInstallMessageHandler(holdPlatformMessages);
        system.application = std::make_unique<QApplication>(argc, argv);
        qInstallMessageHandler(previousHandler);
    }
    QList<HeldMessage> messages;
    {
        const QMutexLocker lock(&heldMutex);
        messages.swap(held);
    }
    if (QGuiApplication::platformName() == QLatin1String(kOffscreen) && !platforms.startsWith(kOffscreen)) {
        // Said in German by the agent instead.
        system.noScreen = whyNoScreenAnswered();
        return system;
    }
    for (const HeldMessage &message : messages) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        previousHandler(message.type, context, message.text);
    }
    return system;
}

} // namespace trellium
