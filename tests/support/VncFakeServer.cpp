#include "support/VncFakeServer.h"

#include <QFile>
#include <QtEndian>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace trellium::test {

namespace {

constexpr qint32 kEncodingRaw = 0;
constexpr qint32 kEncodingDesktopSize = -223;
constexpr qint32 kEncodingExtendedDesktopSize = -308;

void appendU8(QByteArray &bytes, int value)
{
    bytes.append(char(uint8_t(value)));
}

void appendU16(QByteArray &bytes, int value)
{
    appendU8(bytes, value >> 8);
    appendU8(bytes, value);
}

void appendU32(QByteArray &bytes, uint32_t value)
{
    appendU16(bytes, int(value >> 16));
    appendU16(bytes, int(value & 0xffff));
}

int u16At(const QByteArray &bytes, qsizetype offset)
{
    return qFromBigEndian<quint16>(bytes.constData() + offset);
}

uint32_t u32At(const QByteArray &bytes, qsizetype offset)
{
    return qFromBigEndian<quint32>(bytes.constData() + offset);
}

QRect changedArea(const QImage &before, const QImage &after)
{
    QRect area;
    for (int y = 0; y < after.height(); ++y) {
        const auto *a = reinterpret_cast<const QRgb *>(before.constScanLine(y));
        const auto *b = reinterpret_cast<const QRgb *>(after.constScanLine(y));
        for (int x = 0; x < after.width(); ++x) {
            if (a[x] != b[x])
                area |= QRect(x, y, 1, 1);
        }
    }
    return area;
}

} // namespace

VncFakeServer::VncFakeServer(QString socketPath, const QImage &picture)
    : m_socketPath(std::move(socketPath)), m_picture(picture.convertToFormat(QImage::Format_RGB32).copy())
{
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(m_socketPath);
    if (m_wake < 0 || size_t(path.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ::unlink(path.constData());
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listener < 0)
        return;
    if (::bind(m_listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::listen(m_listener, 4) != 0) {
        ::close(m_listener);
        m_listener = -1;
        return;
    }
    m_thread = std::thread([this] { run(); });
}

VncFakeServer::~VncFakeServer()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    wake();
    if (m_thread.joinable())
        m_thread.join();
    closeClient();
    if (m_listener >= 0) {
        ::close(m_listener);
        ::unlink(QFile::encodeName(m_socketPath).constData());
    }
    if (m_wake >= 0)
        ::close(m_wake);
}

void VncFakeServer::wake()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
}

void VncFakeServer::setBehaviour(Behaviour behaviour)
{
    {
        std::lock_guard lock(m_mutex);
        m_behaviour = behaviour;
    }
    wake();
}

void VncFakeServer::setPicture(const QImage &picture)
{
    const QImage next = picture.convertToFormat(QImage::Format_RGB32).copy();
    {
        std::lock_guard lock(m_mutex);
        if (next.size() != m_picture.size()) {
            m_resizePending = true;
            m_dirty = next.rect();
        } else {
            m_dirty += changedArea(m_picture, next);
        }
        m_picture = next;
    }
    wake();
}

void VncFakeServer::dropClient()
{
    {
        std::lock_guard lock(m_mutex);
        m_dropRequested = true;
    }
    wake();
}

int VncFakeServer::connections() const
{
    std::lock_guard lock(m_mutex);
    return m_connections;
}

bool VncFakeServer::hasClient() const
{
    std::lock_guard lock(m_mutex);
    return m_hasClient;
}

bool VncFakeServer::clientHandlesResize() const
{
    std::lock_guard lock(m_mutex);
    return m_handlesResize || m_handlesExtendedResize;
}

bool VncFakeServer::hasWaitingIncrementalRequest() const
{
    std::lock_guard lock(m_mutex);
    return m_request == Request::incremental;
}

int VncFakeServer::updatesSent() const
{
    std::lock_guard lock(m_mutex);
    return m_updatesSent;
}

void VncFakeServer::run()
{
    while (true) {
        pollfd descriptors[3] = {{m_wake, POLLIN, 0}, {m_listener, POLLIN, 0}, {m_client, POLLIN, 0}};
        if (::poll(descriptors, m_client >= 0 ? 3 : 2, -1) < 0 && errno != EINTR)
            return;
        if (descriptors[0].revents != 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(m_wake, &count, sizeof count);
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
        }
        bool drop = false;
        {
            std::lock_guard lock(m_mutex);
            drop = std::exchange(m_dropRequested, false);
        }
        if (drop)
            closeClient();
        // A client that went away is noticed before a new one is let in:
        // with only one client at a time, the new one would be turned away.
        if (m_client >= 0 && descriptors[2].revents != 0 && (!readFromClient() || !handleInput()))
            closeClient();
        if (descriptors[1].revents != 0)
            accept();
        if (m_client >= 0 && !sendUpdate())
            closeClient();
    }
}

void VncFakeServer::accept()
{
    const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0)
        return;
    if (m_client >= 0) {
        ::close(client);  // one at a time
        return;
    }
    m_client = client;
    m_phase = Phase::version;
    m_input.clear();
    m_format = Format{};
    m_stalled = false;
    Behaviour behaviour;
    {
        std::lock_guard lock(m_mutex);
        ++m_connections;
        m_hasClient = true;
        m_handlesResize = false;
        m_handlesExtendedResize = false;
        m_request = Request::none;
        m_resizePending = false;
        m_dirty = QRegion();
        behaviour = m_behaviour;
    }
    if (behaviour != Behaviour::silent && !sendAll(QByteArrayLiteral("RFB 003.008\n")))
        closeClient();
}

void VncFakeServer::closeClient()
{
    if (m_client >= 0)
        ::close(m_client);
    m_client = -1;
    std::lock_guard lock(m_mutex);
    m_hasClient = false;
    m_request = Request::none;
}

bool VncFakeServer::readFromClient()
{
    char chunk[4096];
    const ssize_t count = ::read(m_client, chunk, sizeof chunk);
    if (count < 0)
        return errno == EAGAIN || errno == EINTR;
    if (count == 0)
        return false;
    m_input.append(chunk, count);
    return true;
}

bool VncFakeServer::handleInput()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_behaviour == Behaviour::silent)
            return true;
    }
    while (true) {
        switch (m_phase) {
        case Phase::version: {
            if (m_input.size() < 12)
                return true;
            if (!m_input.startsWith("RFB 003."))
                return false;
            m_input.remove(0, 12);
            m_phase = Phase::security;
            if (!sendAll(QByteArray::fromHex("0101")))  // one security type: None
                return false;
            break;
        }
        case Phase::security: {
            if (m_input.isEmpty())
                return true;
            const int choice = uint8_t(m_input.at(0));
            m_input.remove(0, 1);
            if (choice != 1 || !sendAll(QByteArray(4, '\0')))  // security result: OK
                return false;
            m_phase = Phase::clientInit;
            break;
        }
        case Phase::clientInit: {
            if (m_input.isEmpty())
                return true;
            m_input.remove(0, 1);
            QSize size;
            {
                std::lock_guard lock(m_mutex);
                size = m_picture.size();
            }
            QByteArray init;
            appendU16(init, size.width());
            appendU16(init, size.height());
            // 32 bits, depth 24, little-endian, true colour, maxima 255, red
            // in bits 16-23, green 8-15, blue 0-7; then the name "fake".
            init += QByteArray::fromHex("2018000100ff00ff00ff10080000000000000004") + "fake";
            if (!sendAll(init))
                return false;
            m_phase = Phase::ready;
            break;
        }
        case Phase::ready: {
            if (m_input.isEmpty())
                return true;
            const int type = uint8_t(m_input.at(0));
            qsizetype length = 0;
            switch (type) {
            case 0:  // SetPixelFormat
                length = 20;
                break;
            case 2:  // SetEncodings
                if (m_input.size() < 4)
                    return true;
                length = 4 + 4 * qsizetype(u16At(m_input, 2));
                break;
            case 3:  // FramebufferUpdateRequest
                length = 10;
                break;
            case 4:  // KeyEvent
                length = 8;
                break;
            case 5:  // PointerEvent
                length = 6;
                break;
            case 6:  // ClientCutText
                if (m_input.size() < 8)
                    return true;
                length = 8 + qsizetype(u32At(m_input, 4));
                break;
            default:
                return false;
            }
            if (m_input.size() < length)
                return true;
            const QByteArray message = m_input.left(length);
            m_input.remove(0, length);
            if (type == 0) {
                m_format.bitsPerPixel = uint8_t(message.at(4));
                m_format.bigEndian = message.at(6) != 0;
                m_format.trueColour = message.at(7) != 0;
                m_format.redMax = u16At(message, 8);
                m_format.greenMax = u16At(message, 10);
                m_format.blueMax = u16At(message, 12);
                m_format.redShift = uint8_t(message.at(14));
                m_format.greenShift = uint8_t(message.at(15));
                m_format.blueShift = uint8_t(message.at(16));
                if (m_format.bitsPerPixel != 32 || !m_format.trueColour)
                    return false;
            } else if (type == 2) {
                std::lock_guard lock(m_mutex);
                m_handlesResize = false;
                m_handlesExtendedResize = false;
                for (int i = 0; i < u16At(message, 2); ++i) {
                    const qint32 encoding = qint32(u32At(message, 4 + 4 * i));
                    m_handlesResize |= encoding == kEncodingDesktopSize;
                    m_handlesExtendedResize |= encoding == kEncodingExtendedDesktopSize;
                }
            } else if (type == 3) {
                const QRect area(u16At(message, 2), u16At(message, 4), u16At(message, 6), u16At(message, 8));
                std::lock_guard lock(m_mutex);
                m_requestArea = m_request == Request::none ? area : m_requestArea | area;
                if (message.at(1) == 0)
                    m_request = Request::full;
                else if (m_request == Request::none)
                    m_request = Request::incremental;
            }
            break;
        }
        }
    }
}

QByteArray VncFakeServer::encodeRect(const QImage &picture, const QRect &rect) const
{
    QByteArray bytes;
    bytes.reserve(qsizetype(rect.width()) * rect.height() * 4);
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QRgb colour = line[x];
            const uint32_t value = uint32_t(qRed(colour) * m_format.redMax / 255) << m_format.redShift
                | uint32_t(qGreen(colour) * m_format.greenMax / 255) << m_format.greenShift
                | uint32_t(qBlue(colour) * m_format.blueMax / 255) << m_format.blueShift;
            char pixel[4];
            if (m_format.bigEndian)
                qToBigEndian(value, pixel);
            else
                qToLittleEndian(value, pixel);
            bytes.append(pixel, 4);
        }
    }
    return bytes;
}

bool VncFakeServer::sendUpdate()
{
    if (m_phase != Phase::ready || m_stalled)
        return true;
    QByteArray message;
    bool stall = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_behaviour == Behaviour::silent || m_request == Request::none)
            return true;
        message += QByteArray::fromHex("00000001");  // FramebufferUpdate of one rectangle
        if (m_resizePending) {
            // The client must follow the resize before it gets pixels of the new size.
            if (!m_handlesResize && !m_handlesExtendedResize)
                return false;
            appendU16(message, 0);  // x: changed by the server
            appendU16(message, 0);  // y: no error
            appendU16(message, m_picture.width());
            appendU16(message, m_picture.height());
            if (m_handlesExtendedResize) {
                appendU32(message, uint32_t(kEncodingExtendedDesktopSize));
                // One screen, as QEMU describes it: id 0 at 0,0.
                message += QByteArray::fromHex("010000000000000000000000");
                appendU16(message, m_picture.width());
                appendU16(message, m_picture.height());
                appendU32(message, 0);
            } else {
                appendU32(message, uint32_t(kEncodingDesktopSize));
            }
            m_resizePending = false;
            m_dirty = m_picture.rect();
        } else {
            const QRect rect = m_request == Request::full
                ? m_requestArea & m_picture.rect()
                : (m_dirty & (m_requestArea & m_picture.rect())).boundingRect();
            if (rect.isEmpty())
                return true;
            appendU16(message, rect.x());
            appendU16(message, rect.y());
            appendU16(message, rect.width());
            appendU16(message, rect.height());
            appendU32(message, uint32_t(kEncodingRaw));
            message += encodeRect(m_picture, rect);
            m_dirty -= rect;
        }
        m_request = Request::none;
        ++m_updatesSent;
        stall = m_behaviour == Behaviour::stallUpdates;
    }
    if (stall) {
        m_stalled = true;
        return sendAll(message.left(message.size() / 2));
    }
    return sendAll(message);
}

bool VncFakeServer::sendAll(const QByteArray &bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = ::send(m_client, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (count > 0) {
            sent += count;
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd writable{m_client, POLLOUT, 0};
        ::poll(&writable, 1, 100);
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return false;
    }
    return true;
}

} // namespace trellium::test
