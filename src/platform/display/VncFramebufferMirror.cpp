#include "platform/display/VncFramebufferMirror.h"

#include "core/Log.h"

#include <QFile>
#include <QMetaObject>
#include <QtEndian>

#include <rfb/rfbclient.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace trellium {

namespace {

constexpr auto kConnectRetryInterval = std::chrono::milliseconds(50);
// Larger screens than QEMU can produce are refused rather than allocated.
constexpr int kMaximumSide = maximumPictureSide;
// Areas of recent updates kept for readers that convert only what changed;
// a reader further behind takes the whole picture.
constexpr size_t kHistoryAreas = 1024;

std::atomic<uint64_t> nextSerial{1};

// libvncclient logs through global function pointers. Its chatter stays
// quiet; its errors go to the agent's log.
void discardClientLog(const char *, ...) {}

void forwardClientError(const char *format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    logLine(QStringLiteral("VNC client:"), QString::fromLocal8Bit(text).trimmed());
}

void installClientLogging()
{
    static std::once_flag once;
    std::call_once(once, [] {
        rfbClientLog = discardClientLog;
        rfbClientErr = forwardClientError;
    });
}

char *noPassword(rfbClient *)
{
    // Our servers run without authentication; never prompt on a terminal.
    return nullptr;
}

int tag;  // address used as the client-data key

// libvncclient also announces ExtendedDesktopSize, which QEMU then prefers;
// its handler rejects the screen id 0 QEMU sends, misses the resize, and the
// first rectangle of the new size ends the connection. So the encodings are
// announced again, with plain DesktopSize only.
bool announceEncodings(rfbClient *client)
{
    const uint32_t encodings[] = {rfbEncodingRaw, rfbEncodingNewFBSize};
    char message[4 + sizeof encodings] = {char(rfbSetEncodings), 0, 0, char(std::size(encodings))};
    for (size_t i = 0; i < std::size(encodings); ++i)
        qToBigEndian(encodings[i], message + 4 + 4 * i);
    return WriteToRFBServer(client, message, sizeof message);
}

// Copies rows of BGRx pixels, making the unused byte opaque so that the
// picture is a valid Format_RGB32 image.
void copyOpaque(const uint8_t *source, int sourceStride, uint32_t *target, int targetStride, int width, int height)
{
    for (int y = 0; y < height; ++y) {
        const auto *from = reinterpret_cast<const uint32_t *>(source + ptrdiff_t(y) * sourceStride);
        uint32_t *to = target + ptrdiff_t(y) * targetStride;
        for (int x = 0; x < width; ++x)
            to[x] = from[x] | 0xff000000u;
    }
}

} // namespace

// State of one connection, touched by the mirror's thread only.
struct VncFramebufferMirror::Session {
    rfbClient *client = nullptr;
    // libvncclient decodes into this private buffer; finished updates are
    // copied into the shared picture, so readers never wait for the socket.
    uint8_t *frameBuffer = nullptr;
    struct Rect {
        int x, y, width, height;
    };
    std::vector<Rect> dirty;
    bool resized = false;
    bool updateFinished = false;

    static Session &of(rfbClient *client) { return *static_cast<Session *>(rfbClientGetClientData(client, &tag)); }

    static rfbBool allocate(rfbClient *client)
    {
        Session &session = of(client);
        std::free(session.frameBuffer);
        session.frameBuffer = nullptr;
        client->frameBuffer = nullptr;
        if (client->width <= 0 || client->height <= 0 || client->width > kMaximumSide || client->height > kMaximumSide)
            return FALSE;
        session.frameBuffer = static_cast<uint8_t *>(std::calloc(size_t(client->width) * size_t(client->height), 4));
        client->frameBuffer = session.frameBuffer;
        // The region libvncclient asks for after every update: all of it.
        client->updateRect.x = 0;
        client->updateRect.y = 0;
        client->updateRect.w = client->width;
        client->updateRect.h = client->height;
        session.dirty.clear();
        session.resized = true;
        return session.frameBuffer ? TRUE : FALSE;
    }

    static void gotRect(rfbClient *client, int x, int y, int width, int height)
    {
        of(client).dirty.push_back({x, y, width, height});
    }

    static void finished(rfbClient *client) { of(client).updateFinished = true; }
};

VncFramebufferMirror::VncFramebufferMirror(QString socketPath, Options options, QObject *parent)
    : QObject(parent), m_socketPath(std::move(socketPath)), m_options(options), m_serial(nextSerial++)
{
    installClientLogging();
    m_wakeDescriptor = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { run(); });
}

VncFramebufferMirror::~VncFramebufferMirror()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        // Ends a read or write the thread may be blocked in; the descriptor
        // itself is closed by the thread, after it cleared m_socket.
        if (m_socket >= 0)
            ::shutdown(m_socket, SHUT_RDWR);
    }
    if (m_wakeDescriptor >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeDescriptor, &one, sizeof one);
    }
    m_thread.join();
    if (m_wakeDescriptor >= 0)
        ::close(m_wakeDescriptor);
}

bool VncFramebufferMirror::hasPicture() const
{
    std::lock_guard lock(m_mutex);
    return m_updateCount > 0;
}

QSize VncFramebufferMirror::size() const
{
    std::lock_guard lock(m_mutex);
    return QSize(m_width, m_height);
}

uint64_t VncFramebufferMirror::updateCount() const
{
    std::lock_guard lock(m_mutex);
    return m_updateCount;
}

PixelBuffer VncFramebufferMirror::snapshot(int width, int height) const
{
    if (width <= 0 || height <= 0 || width > kMaximumSide || height > kMaximumSide)
        return {};
    PixelBuffer buffer;
    buffer.width = width;
    buffer.height = height;
    buffer.bytesPerRow = width * 4;
    buffer.data.resize(qsizetype(buffer.bytesPerRow) * height);
    QImage scaled;
    {
        std::lock_guard lock(m_mutex);
        if (m_updateCount == 0 || m_pixels.empty())
            return {};
        if (width == m_width && height == m_height) {
            std::memcpy(buffer.data.data(), m_pixels.data(), size_t(buffer.data.size()));
            return buffer;
        }
        // Qt's smooth scaling keeps flat colours exact (libyuv's filters
        // darken them by about one percent) and is fast enough per frame.
        const QImage picture(reinterpret_cast<const uchar *>(m_pixels.data()), m_width, m_height, m_width * 4,
                             QImage::Format_RGB32);
        scaled = picture.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    if (scaled.size() != QSize(width, height) || scaled.format() != QImage::Format_RGB32)
        return {};
    for (int y = 0; y < height; ++y)
        std::memcpy(buffer.data.data() + qsizetype(y) * buffer.bytesPerRow, scaled.constScanLine(y),
                    size_t(buffer.bytesPerRow));
    return buffer;
}

void VncFramebufferMirror::readPicture(uint64_t since, const std::function<void(const PictureAccess &)> &read) const
{
    std::lock_guard lock(m_mutex);
    PictureAccess access;
    access.updateCount = m_updateCount;
    if (m_updateCount > 0 && !m_pixels.empty()) {
        access.pixels = m_pixels.data();
        access.width = m_width;
        access.height = m_height;
    }
    if (since >= m_historyFrom && since <= m_updateCount) {
        m_changesScratch.clear();
        // Newest last: walk back from the end to the first update after `since`.
        auto first = m_history.end();
        while (first != m_history.begin() && std::prev(first)->update > since)
            --first;
        for (auto change = first; change != m_history.end(); ++change)
            m_changesScratch.push_back(change->area);
        access.changes = &m_changesScratch;
    }
    read(access);
}

QImage VncFramebufferMirror::image() const
{
    std::lock_guard lock(m_mutex);
    if (m_updateCount == 0 || m_pixels.empty())
        return {};
    QImage picture(m_width, m_height, QImage::Format_RGB32);
    if (picture.isNull())
        return {};
    for (int y = 0; y < m_height; ++y)
        std::memcpy(picture.scanLine(y), m_pixels.data() + ptrdiff_t(y) * m_width, size_t(m_width) * 4);
    return picture;
}

void VncFramebufferMirror::setState(State state)
{
    if (m_state.exchange(state) == state || m_stopping)
        return;
    QMetaObject::invokeMethod(this, [this, state] { emit stateChanged(state); }, Qt::QueuedConnection);
}

int VncFramebufferMirror::connectSocket(QString *error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(m_socketPath);
    if (path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path) {
        *error = QStringLiteral("invalid socket path");
        return -1;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));

    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            ::close(descriptor);
            *error = QStringLiteral("stopped");
            return -1;
        }
        m_socket = descriptor;
    }

    const auto deadline = std::chrono::steady_clock::now() + m_options.connectTimeout;
    while (::connect(descriptor, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        // A Unix socket answers EAGAIN while its backlog is full: retry until
        // the deadline. Anything else (no such file, refused) fails at once.
        if (errno == EISCONN)
            break;
        if (errno != EAGAIN && errno != EINTR) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *error = QStringLiteral("connection timed out");
            return -1;
        }
        pollfd wake{m_wakeDescriptor, POLLIN, 0};
        if (::poll(&wake, 1, int(kConnectRetryInterval.count())) > 0 || m_stopping) {
            *error = QStringLiteral("stopped");
            return -1;
        }
    }
    return descriptor;
}

void VncFramebufferMirror::run()
{
    // A write to a peer that went away must fail with EPIPE, not end the
    // process; SIGPIPE from a write is raised on the writing thread only.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    Session session;
    QString error;
    const int descriptor = m_wakeDescriptor >= 0 ? connectSocket(&error) : -1;
    if (m_wakeDescriptor < 0)
        error = QStringLiteral("no wake-up descriptor");

    if (descriptor >= 0) {
        // Our layout, BGRx: 8 bits per sample, 3 samples, 4 bytes per pixel,
        // red in the third byte of a little-endian word.
        rfbClient *client = rfbGetClient(8, 3, 4);
        if (client) {
            session.client = client;
            client->format.redShift = 16;
            client->format.greenShift = 8;
            client->format.blueShift = 0;
            client->programName = "trellium";
            // Over a local socket compression only costs CPU on both sides.
            client->appData.encodingsString = "raw";  // see announceEncodings
            client->appData.useRemoteCursor = FALSE;
            client->canHandleNewFBSize = TRUE;
            client->GetPassword = noPassword;
            client->MallocFrameBuffer = Session::allocate;
            client->GotFrameBufferUpdate = Session::gotRect;
            client->FinishedFrameBufferUpdate = Session::finished;
            rfbClientSetClientData(client, &tag, &session);
            client->sock = descriptor;
            // Bounds every read of the handshake; off afterwards, when
            // QEMU may pause between parts of a large update.
            client->readTimeout =
                unsigned(std::max<int64_t>(1, (m_options.connectTimeout.count() + 999) / 1000));
            client->width = 0;
            client->height = 0;
            if (InitialiseRFBConnection(client) && !m_stopping) {
                client->width = client->si.framebufferWidth;
                client->height = client->si.framebufferHeight;
                if (client->MallocFrameBuffer(client) && SetFormatAndEncodings(client) && announceEncodings(client)
                    && SendFramebufferUpdateRequest(client, 0, 0, client->width, client->height, FALSE)) {
                    client->readTimeout = 0;
                    logLine(QStringLiteral("VNC mirror connected: %1 (%2x%3)")
                                .arg(m_socketPath)
                                .arg(client->width)
                                .arg(client->height));
                    setState(State::connected);
                    serve(session);
                    if (!m_stopping)
                        logLine(QStringLiteral("VNC mirror disconnected:"), m_socketPath);
                } else if (!m_stopping) {
                    error = QStringLiteral("setup failed");
                }
            } else if (!m_stopping) {
                error = QStringLiteral("handshake failed");
            }
        } else {
            error = QStringLiteral("client allocation failed");
        }

        {
            std::lock_guard lock(m_mutex);
            m_socket = -1;
        }
        if (session.client)
            rfbClientCleanup(session.client);  // closes the descriptor
        else
            ::close(descriptor);
        std::free(session.frameBuffer);
    } else {
        std::lock_guard lock(m_mutex);
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
    }
    if (!error.isEmpty() && !m_stopping)
        logLine(QStringLiteral("VNC mirror connection failed: %1: %2").arg(m_socketPath, error));
    setState(State::disconnected);
}

void VncFramebufferMirror::serve(Session &session)
{
    rfbClient *client = session.client;
    while (!m_stopping) {
        // Bytes of the next message may already sit in libvncclient's buffer.
        if (client->buffered == 0) {
            pollfd descriptors[2] = {{client->sock, POLLIN, 0}, {m_wakeDescriptor, POLLIN, 0}};
            if (::poll(descriptors, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (descriptors[1].revents != 0)
                return;
            if (descriptors[0].revents == 0)
                continue;
        }
        if (!HandleRFBServerMessage(client))
            return;
        // libvncclient has already sent the next incremental request (for
        // updateRect) before it reported the update finished, so one always
        // waits at the server.
        if (session.updateFinished) {
            session.updateFinished = false;
            publish(session);
        }
    }
}

void VncFramebufferMirror::publish(Session &session)
{
    rfbClient *client = session.client;
    if (!session.frameBuffer)
        return;
    const int width = client->width;
    const int height = client->height;
    // After a resize, keep showing the old picture until content arrives.
    if (session.resized && session.dirty.empty())
        return;
    {
        std::lock_guard lock(m_mutex);
        ++m_updateCount;
        if (session.resized || m_width != width || m_height != height) {
            m_pixels.assign(size_t(width) * size_t(height), 0xff000000u);
            m_width = width;
            m_height = height;
            copyOpaque(session.frameBuffer, width * 4, m_pixels.data(), width, width, height);
            // Readers from before the new size start over with the whole picture.
            m_history.clear();
            m_historyFrom = m_updateCount;
        } else {
            for (const Session::Rect &rect : session.dirty) {
                const int left = std::clamp(rect.x, 0, width);
                const int top = std::clamp(rect.y, 0, height);
                const int right = std::clamp(rect.x + rect.width, left, width);
                const int bottom = std::clamp(rect.y + rect.height, top, height);
                if (right == left || bottom == top)
                    continue;
                copyOpaque(session.frameBuffer + (ptrdiff_t(top) * width + left) * 4, width * 4,
                           m_pixels.data() + ptrdiff_t(top) * width + left, width, right - left, bottom - top);
                m_history.push_back({m_updateCount, QRect(left, top, right - left, bottom - top)});
            }
            while (m_history.size() > kHistoryAreas) {
                m_historyFrom = std::max(m_historyFrom, m_history.front().update);
                m_history.pop_front();
            }
        }
    }
    session.dirty.clear();
    session.resized = false;
    if (!m_updatePosted.exchange(true) && !m_stopping) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_updatePosted = false;
                emit updated();
            },
            Qt::QueuedConnection);
    }
}

} // namespace trellium
