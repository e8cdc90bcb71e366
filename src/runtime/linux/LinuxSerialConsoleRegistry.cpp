#include "runtime/linux/LinuxSerialConsoleRegistry.h"

#include "core/Json.h"

namespace trellium {

namespace {
QString keyFor(const QUuid &runtimeID, const QString &name)
{
    return uuidText(runtimeID) + QLatin1Char('-') + name;
}
} // namespace

LinuxSerialConsoleRegistry &LinuxSerialConsoleRegistry::shared()
{
    static LinuxSerialConsoleRegistry registry;
    return registry;
}

SerialPortAttachment LinuxSerialConsoleRegistry::makeSerialAttachment(const QUuid &runtimeID, const QString &name,
                                                                      const QString &logPath)
{
    const QString key = keyFor(runtimeID, name);
    if (auto earlier = m_captures.take(key))
        earlier->stop();
    auto capture = std::make_shared<LinuxSerialConsoleCapture>(runtimeID, logPath);
    m_captures.insert(key, capture);
    return SerialPortAttachment{capture};
}

void LinuxSerialConsoleRegistry::stopCaptures(const QUuid &runtimeID)
{
    const QString prefix = uuidText(runtimeID);
    for (const QString &key : m_captures.keys()) {
        if (key.startsWith(prefix)) {
            if (auto capture = m_captures.take(key))
                capture->stop();
        }
    }
}

std::shared_ptr<LinuxSerialConsoleCapture> LinuxSerialConsoleRegistry::capture(const QUuid &runtimeID,
                                                                               const QString &name) const
{
    return m_captures.value(keyFor(runtimeID, name));
}

} // namespace trellium
