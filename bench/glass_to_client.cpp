// Glass-to-client latency of the main display: from the moment the X
// server paints the root window in a new colour to the moment the last byte
// of the first frame showing that colour reaches the client, decoded with
// libavcodec. Measured on an Xvfb display for the agent's stream (RDH1
// frames over a socket) and, in the same run, for ffmpeg's x11grab ->
// libx264 superfast/zerolatency sending RTP over loopback UDP.
//   bench_glass_to_client [changes per path]   (default 120)

#include "core/Async.h"
#include "remotedesktop/RemoteDesktopServer.h"

#include "support/H264Decoder.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using namespace trellium;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const QList<QColor> kPalette = {QColor(220, 30, 30), QColor(30, 200, 60), QColor(40, 60, 220),
                                QColor(230, 220, 40), QColor(200, 40, 200), QColor(40, 200, 210),
                                QColor(240, 240, 240), QColor(30, 30, 30)};

bool near(const QColor &a, const QColor &b)
{
    return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40
        && std::abs(a.blue() - b.blue()) < 40;
}

struct Change {
    Clock::time_point at;
    int colour;
};

struct Arrival {
    Clock::time_point at;
    QColor colour;
};

// Paints the whole root window one palette colour after another at random
// moments; the time is taken when the request leaves for the X server.
std::vector<Change> paintChanges(const QByteArray &display, int count)
{
    std::vector<Change> changes;
    xcb_connection_t *connection = xcb_connect(display.constData(), nullptr);
    if (xcb_connection_has_error(connection))
        return changes;
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_gcontext_t gc = xcb_generate_id(connection);
    xcb_create_gc(connection, gc, screen->root, 0, nullptr);
    const xcb_rectangle_t all{0, 0, screen->width_in_pixels, screen->height_in_pixels};
    int colour = 0;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(QRandomGenerator::global()->bounded(180, 420)));
        colour = (colour + 1 + QRandomGenerator::global()->bounded(int(kPalette.size()) - 1)) % int(kPalette.size());
        const QColor c = kPalette[colour];
        const uint32_t pixel = (uint32_t(c.red()) << 16) | (uint32_t(c.green()) << 8) | uint32_t(c.blue());
        xcb_change_gc(connection, gc, XCB_GC_FOREGROUND, &pixel);
        xcb_poly_fill_rectangle(connection, screen->root, gc, 1, &all);
        const Clock::time_point at = Clock::now();
        xcb_flush(connection);
        free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
        changes.push_back({at, colour});
    }
    xcb_disconnect(connection);
    return changes;
}

// The received frames as they arrived, decoded on the receiving thread.
class Receiver {
public:
    void frame(Clock::time_point at, const QByteArray &annexB)
    {
        const auto pictures = m_decoder.decode(annexB);
        if (!pictures)
            return;
        std::lock_guard lock(m_mutex);
        for (const test::H264Picture &picture : *pictures)
            // Away from the middle, where the cursor is drawn in.
            m_arrivals.push_back({at, picture.colorAt(picture.width / 4, picture.height / 4)});
    }

    std::vector<Arrival> arrivals() const
    {
        std::lock_guard lock(m_mutex);
        return m_arrivals;
    }

private:
    test::H264Decoder m_decoder;
    mutable std::mutex m_mutex;
    std::vector<Arrival> m_arrivals;
};

// The agent's frames go into one end of a socket pair; a thread reads the
// other end and takes the time when a frame's last byte is in.
class SocketConnection : public RemoteDesktopConnection {
public:
    explicit SocketConnection(Receiver &receiver) : m_receiver(receiver)
    {
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_sockets);
        const int size = 8 << 20;
        setsockopt(m_sockets[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        m_reader = std::thread([this] { read(); });
    }
    ~SocketConnection() override
    {
        ::shutdown(m_sockets[0], SHUT_RDWR);
        m_reader.join();
        ::close(m_sockets[0]);
        ::close(m_sockets[1]);
    }
    void send(const QByteArray &message) override
    {
        for (qsizetype sent = 0; sent < message.size();) {
            const ssize_t n = ::write(m_sockets[0], message.constData() + sent, size_t(message.size() - sent));
            if (n <= 0)
                return;
            sent += n;
        }
    }
    qint64 pendingBytes() const override { return 0; }
    bool isOpen() const override { return true; }

private:
    void read()
    {
        QByteArray buffer;
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::read(m_sockets[1], chunk, sizeof chunk);
            if (n <= 0)
                return;
            buffer.append(chunk, n);
            while (buffer.size() >= 24) {
                const uint32_t length = qFromLittleEndian<uint32_t>(buffer.constData() + 16);
                const uint16_t sps = qFromLittleEndian<uint16_t>(buffer.constData() + 20);
                const uint16_t pps = qFromLittleEndian<uint16_t>(buffer.constData() + 22);
                const qsizetype total = 24 + sps + pps + qsizetype(length);
                if (buffer.size() < total)
                    break;
                const Clock::time_point at = Clock::now();
                m_receiver.frame(at, test::h264AnnexB(buffer.mid(24 + sps + pps, length),
                                                      sps ? std::optional(buffer.mid(24, sps)) : std::nullopt,
                                                      pps ? std::optional(buffer.mid(24 + sps, pps)) : std::nullopt));
                buffer.remove(0, total);
            }
        }
    }

    Receiver &m_receiver;
    int m_sockets[2] = {-1, -1};
    std::thread m_reader;
};

// RTP (H.264 payload, single NAL units and FU-A fragments) on a loopback
// UDP port; the marker bit ends an access unit.
class RtpReceiver {
public:
    RtpReceiver(Receiver &receiver) : m_receiver(receiver)
    {
        m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        const int size = 8 << 20;
        setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    ~RtpReceiver()
    {
        m_stopping = true;
        if (m_reader.joinable())
            m_reader.join();
        ::close(m_socket);
    }
    uint16_t port() const { return m_port; }
    // The parameter sets from ffmpeg's SDP, sent ahead of the first frame.
    void start(QByteArray parameterSets)
    {
        m_parameterSets = std::move(parameterSets);
        m_reader = std::thread([this] { read(); });
    }

private:
    void read()
    {
        static const QByteArray startCode("\0\0\0\1", 4);
        QByteArray accessUnit = m_parameterSets;
        char packet[65536];
        while (!m_stopping) {
            pollfd ready{m_socket, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0)
                continue;
            const ssize_t n = ::recv(m_socket, packet, sizeof packet, 0);
            if (n < 12)
                continue;
            const auto *bytes = reinterpret_cast<const uint8_t *>(packet);
            const bool marker = bytes[1] & 0x80;
            size_t offset = 12 + 4 * (bytes[0] & 0x0f);
            if (bytes[0] & 0x10)
                offset += 4 + 4 * ((bytes[offset + 2] << 8) | bytes[offset + 3]);
            if (offset >= size_t(n))
                continue;
            const uint8_t type = bytes[offset] & 0x1f;
            if (type == 28 && offset + 2 <= size_t(n)) {  // FU-A
                const uint8_t header = bytes[offset + 1];
                if (header & 0x80) {
                    accessUnit += startCode;
                    accessUnit += char((bytes[offset] & 0xe0) | (header & 0x1f));
                }
                accessUnit.append(packet + offset + 2, n - qsizetype(offset) - 2);
            } else if (type == 24) {  // STAP-A
                for (size_t at = offset + 1; at + 2 <= size_t(n);) {
                    const size_t size = (bytes[at] << 8) | bytes[at + 1];
                    at += 2;
                    if (at + size > size_t(n))
                        break;
                    accessUnit += startCode;
                    accessUnit.append(packet + at, qsizetype(size));
                    at += size;
                }
            } else {
                accessUnit += startCode;
                accessUnit.append(packet + offset, n - qsizetype(offset));
            }
            if (marker) {
                m_receiver.frame(Clock::now(), accessUnit);
                accessUnit.clear();
            }
        }
    }

    Receiver &m_receiver;
    int m_socket = -1;
    uint16_t m_port = 0;
    QByteArray m_parameterSets;
    std::atomic<bool> m_stopping{false};
    std::thread m_reader;
};

// For each change, the time until the first frame showing its colour.
std::vector<double> latencies(const std::vector<Change> &changes, const std::vector<Arrival> &arrivals)
{
    std::vector<double> result;
    for (size_t i = 0; i < changes.size(); ++i) {
        const Clock::time_point until = i + 1 < changes.size() ? changes[i + 1].at : Clock::time_point::max();
        for (const Arrival &arrival : arrivals) {
            if (arrival.at < changes[i].at || arrival.at >= until)
                continue;
            if (near(arrival.colour, kPalette[changes[i].colour])) {
                result.push_back(std::chrono::duration<double, std::milli>(arrival.at - changes[i].at).count());
                break;
            }
        }
    }
    return result;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5))];
}

void print(const char *path, const std::vector<double> &values, size_t changes, size_t frames, double seconds)
{
    std::printf("  %-44s p50 %5.1f ms   p95 %5.1f ms   (%zu of %zu changes seen, %.1f frames/s)\n", path,
                percentile(values, 0.5), percentile(values, 0.95), values.size(), changes, frames / seconds);
}

// sprop-parameter-sets of an SDP as Annex B.
QByteArray parameterSets(const QByteArray &sdp)
{
    QByteArray result;
    const qsizetype at = sdp.indexOf("sprop-parameter-sets=");
    if (at < 0)
        return result;
    qsizetype end = at + 21;
    while (end < sdp.size() && sdp[end] != ';' && sdp[end] != '\r' && sdp[end] != '\n')
        ++end;
    for (const QByteArray &set : sdp.mid(at + 21, end - at - 21).split(','))
        result += QByteArray("\0\0\0\1", 4) + QByteArray::fromBase64(set);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int changes = argc > 1 ? std::max(10, atoi(argv[1])) : 120;

    const QString display = QStringLiteral(":%1").arg(QRandomGenerator::global()->bounded(200, 900));
    QProcess xvfb;
    xvfb.start(QStringLiteral("/usr/bin/Xvfb"), {display, "-screen", "0", "1280x720x24", "-nolisten", "tcp"});
    if (!xvfb.waitForStarted()) {
        std::fprintf(stderr, "Xvfb is not installed (scripts/setup installs it)\n");
        return 1;
    }
    QThread::msleep(1000);
    qputenv("DISPLAY", display.toLatin1());

    // The agent's main-display stream.
    Receiver ours;
    std::vector<Change> oursChanges;
    double oursSeconds = 0;
    {
        RemoteDesktopServer server;
        auto connection = std::make_shared<SocketConnection>(ours);
        server.start(connection, RemoteDesktopSource::mainDisplay(), 1280, 720, 30, 8'000'000);
        runSync(sleepFor(1s));
        const Clock::time_point begin = Clock::now();
        // The stream runs on this thread's event loop meanwhile.
        std::atomic<bool> painted{false};
        std::thread painter([&] {
            oursChanges = paintChanges(display.toLatin1(), changes);
            painted = true;
        });
        while (!painted)
            runSync(sleepFor(50ms));
        painter.join();
        runSync(sleepFor(300ms));
        oursSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
        server.stop();
        runSync(sleepFor(200ms));
    }

    // ffmpeg on the same display.
    Receiver reference;
    std::vector<Change> referenceChanges;
    double referenceSeconds = 0;
    {
        RtpReceiver rtp(reference);
        QTemporaryDir folder;
        const QString sdp = folder.filePath(QStringLiteral("stream.sdp"));
        QProcess ffmpeg;
        ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        ffmpeg.start(QStringLiteral("/usr/bin/ffmpeg"),
                     {"-hide_banner", "-loglevel", "error", "-f", "x11grab", "-framerate", "30", "-video_size",
                      "1280x720", "-i", display, "-c:v", "libx264", "-preset", "superfast", "-tune", "zerolatency",
                      "-b:v", "8M", "-sdp_file", sdp, "-f", "rtp",
                      QStringLiteral("rtp://127.0.0.1:%1?pkt_size=1400").arg(rtp.port())});
        QByteArray description;
        for (int i = 0; i < 100 && description.isEmpty(); ++i) {
            runSync(sleepFor(100ms));
            QFile file(sdp);
            if (file.open(QIODevice::ReadOnly))
                description = file.readAll();
        }
        if (description.isEmpty()) {
            std::fprintf(stderr, "ffmpeg wrote no SDP\n");
            return 1;
        }
        rtp.start(parameterSets(description));
        runSync(sleepFor(1s));
        const Clock::time_point begin = Clock::now();
        std::thread painter([&] { referenceChanges = paintChanges(display.toLatin1(), changes); });
        painter.join();
        runSync(sleepFor(300ms));
        referenceSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
        ffmpeg.terminate();
        ffmpeg.waitForFinished(5000);
    }

    const std::vector<double> oursLatencies = latencies(oursChanges, ours.arrivals());
    const std::vector<double> referenceLatencies = latencies(referenceChanges, reference.arrivals());
    std::printf("glass-to-client, main display 1280x720 at 30 fps (root window colour change -> last byte of the "
                "first frame showing it):\n");
    print("agent (X DAMAGE, capture on change)", oursLatencies, oursChanges.size(), ours.arrivals().size(),
          oursSeconds);
    print("ffmpeg x11grab -> libx264 zerolatency (RTP)", referenceLatencies, referenceChanges.size(),
          reference.arrivals().size(), referenceSeconds);
    const double p50 = percentile(oursLatencies, 0.5);
    const double p95 = percentile(oursLatencies, 0.95);
    std::printf("  target: p50 <= 10 ms (%s), p95 <= 20 ms (%s)\n", p50 >= 0 && p50 <= 10 ? "met" : "missed",
                p95 >= 0 && p95 <= 20 ? "met" : "missed");

    xvfb.terminate();
    xvfb.waitForFinished();
    return 0;
}
