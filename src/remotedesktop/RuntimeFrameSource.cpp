#include "remotedesktop/RuntimeFrameSource.h"

#include "core/Json.h"
#include "core/Log.h"
#include "remotedesktop/RuntimeDisplayHost.h"

#include <algorithm>
#include <climits>

namespace trellium {

RuntimeFrameSource::RuntimeFrameSource(QUuid runtimeID, RemoteDesktopRuntimes runtimes, RuntimeDisplayHost &host,
                                       QObject *parent)
    : VideoFrameSource(parent), m_runtimeID(runtimeID), m_runtimes(std::move(runtimes)), m_host(host)
{
}

std::optional<VideoFrameSource::Frame> RuntimeFrameSource::capture(int width, int height, QString *)
{
    const std::shared_ptr<VirtualMachine> machine =
        m_runtimes.virtualMachine ? m_runtimes.virtualMachine(m_runtimeID) : nullptr;
    if (!machine) {
        logLine(QStringLiteral("Runtime VM not found:"), uuidText(m_runtimeID));
        return std::nullopt;
    }
    if (!m_host.hasCurrentView(m_runtimeID, machine)) {
        // The view's size comes from the record, falling back to the stream's.
        int viewWidth = width;
        int viewHeight = height;
        if (const std::optional<RuntimeConfig> record =
                m_runtimes.readRecord ? m_runtimes.readRecord(m_runtimeID) : std::nullopt) {
            viewWidth = int(std::clamp<int64_t>(record->displayWidth.value_or(width), 0, INT_MAX));
            viewHeight = int(std::clamp<int64_t>(record->displayHeight.value_or(height), 0, INT_MAX));
        }
        m_host.attach(m_runtimeID, machine, viewWidth, viewHeight);
    }
    watchMirror();
    return m_host.frame(m_runtimeID, m_converter, width, height);
}

void RuntimeFrameSource::watchMirror()
{
    const RuntimeDisplayView *view = m_host.view(m_runtimeID);
    VncFramebufferMirror *mirror = view ? view->mirror.get() : nullptr;
    if (!mirror || mirror->serial() == m_watchedMirror)
        return;
    QObject::disconnect(m_updates);
    m_updates = connect(mirror, &VncFramebufferMirror::updated, this, &VideoFrameSource::changed);
    m_watchedMirror = mirror->serial();
}

} // namespace trellium
