#include "remotedesktop/RuntimeDisplayHost.h"

#include "core/Errors.h"
#include "core/Files.h"
#include "core/Json.h"
#include "core/Log.h"

#include <QBuffer>
#include <QFileInfo>

namespace trellium {

RuntimeDisplayHost &RuntimeDisplayHost::shared()
{
    static RuntimeDisplayHost host;
    return host;
}

RuntimeDisplayHost::RuntimeDisplayHost(Options options) : m_options(options) {}

RuntimeDisplayHost::~RuntimeDisplayHost() = default;

bool RuntimeDisplayHost::isStale(const RuntimeDisplayView &view, const std::shared_ptr<VirtualMachine> &machine) const
{
    if (view.machine.lock() != machine)
        return true;
    // A restart of the same machine opens a new socket.
    if (machine && machine->vncSocketPath() != view.socketPath)
        return true;
    return view.mirror && view.mirror->state() == VncFramebufferMirror::State::disconnected
        && std::chrono::steady_clock::now() - view.attachedAt >= m_options.rebindDelay;
}

RuntimeDisplayView *RuntimeDisplayHost::attach(const QUuid &runtimeID, std::shared_ptr<VirtualMachine> machine,
                                               int width, int height)
{
    const auto existing = m_views.find(runtimeID);
    if (existing != m_views.end()) {
        if (!isStale(*existing->second, machine))
            return existing->second.get();
        m_views.erase(existing);
    }

    auto view = std::make_unique<RuntimeDisplayView>();
    view->runtimeID = runtimeID;
    view->machine = machine;
    view->width = width;
    view->height = height;
    view->socketPath = machine ? machine->vncSocketPath() : QString();
    if (!view->socketPath.isEmpty())
        view->mirror = std::make_unique<VncFramebufferMirror>(view->socketPath, m_options.mirror);
    view->attachedAt = std::chrono::steady_clock::now();
    RuntimeDisplayView *result = view.get();
    m_views.emplace(runtimeID, std::move(view));
    logLine(QStringLiteral("RuntimeDisplayHost attached in hidden window:"), uuidText(runtimeID));
    return result;
}

void RuntimeDisplayHost::detach(const QUuid &runtimeID)
{
    m_views.erase(runtimeID);
}

bool RuntimeDisplayHost::hasCurrentView(const QUuid &runtimeID, const std::shared_ptr<VirtualMachine> &machine) const
{
    const RuntimeDisplayView *view = this->view(runtimeID);
    return view && !isStale(*view, machine);
}

std::optional<QImage> RuntimeDisplayHost::render(const RuntimeDisplayView &view, int width, int height) const
{
    if (!view.mirror || width <= 0 || height <= 0)
        return std::nullopt;
    PixelBuffer picture = view.mirror->snapshot(width, height);
    if (!picture.isValid())
        return std::nullopt;
    // The image borrows the scaled bytes instead of copying them again.
    auto *bytes = new QByteArray(std::move(picture.data));
    QImage image(reinterpret_cast<const uchar *>(bytes->constData()), picture.width, picture.height,
                 picture.bytesPerRow, QImage::Format_RGB32,
                 [](void *owned) { delete static_cast<QByteArray *>(owned); }, bytes);
    if (image.isNull()) {
        delete bytes;
        return std::nullopt;
    }
    return image;
}

std::optional<PixelBuffer> RuntimeDisplayHost::snapshot(const QUuid &runtimeID, int width, int height)
{
    const RuntimeDisplayView *view = this->view(runtimeID);
    if (!view) {
        logLine(QStringLiteral("RuntimeDisplayHost view missing"));
        return std::nullopt;
    }
    PixelBuffer picture = view->mirror && width > 0 && height > 0 ? view->mirror->snapshot(width, height) : PixelBuffer();
    if (!picture.isValid()) {
        logLine(QStringLiteral("RuntimeDisplayHost snapshot failed"));
        return std::nullopt;
    }
    return picture;
}

std::optional<VideoFrameSource::Frame> RuntimeDisplayHost::frame(const QUuid &runtimeID,
                                                                 VncFramebufferConverter &converter, int width,
                                                                 int height)
{
    const RuntimeDisplayView *view = this->view(runtimeID);
    if (!view) {
        logLine(QStringLiteral("RuntimeDisplayHost view missing"));
        return std::nullopt;
    }
    std::optional<VideoFrameSource::Frame> frame =
        view->mirror ? converter.frame(*view->mirror, width, height) : std::nullopt;
    if (!frame)
        logLine(QStringLiteral("RuntimeDisplayHost snapshot failed"));
    return frame;
}

void RuntimeDisplayHost::saveDiagnosticSnapshot(const QUuid &runtimeID, int width, int height,
                                                const QString &filePath)
{
    const RuntimeDisplayView *view = this->view(runtimeID);
    if (!view) {
        logLine(QStringLiteral("RuntimeDisplayHost diagnostic snapshot view missing"));
        return;
    }
    const std::optional<QImage> image = render(*view, width, height);
    if (!image) {
        logLine(QStringLiteral("RuntimeDisplayHost diagnostic snapshot failed"));
        return;
    }
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !image->save(&buffer, "PNG") || png.isEmpty()) {
        logLine(QStringLiteral("RuntimeDisplayHost diagnostic PNG encoding failed"));
        return;
    }
    try {
        createDirectories(QFileInfo(filePath).absolutePath());
        writeFileAtomically(filePath, png);
        logLine(QStringLiteral("RuntimeDisplayHost diagnostic snapshot saved:"), filePath);
    } catch (...) {
        logLine(QStringLiteral("RuntimeDisplayHost diagnostic snapshot write failed:"), describeCurrentException());
    }
}

bool RuntimeDisplayHost::isAttached(const QUuid &runtimeID) const
{
    return m_views.count(runtimeID) != 0;
}

std::shared_ptr<VirtualMachine> RuntimeDisplayHost::machine(const QUuid &runtimeID) const
{
    const RuntimeDisplayView *view = this->view(runtimeID);
    return view ? view->machine.lock() : nullptr;
}

RuntimeDisplayView *RuntimeDisplayHost::view(const QUuid &runtimeID) const
{
    const auto found = m_views.find(runtimeID);
    return found == m_views.end() ? nullptr : found->second.get();
}

} // namespace trellium
