// A storm of stream starts and stops as a client could send them: how long
// the main thread is held up, how many encoders are opened, and how soon the
// stream that follows has its first frame; next to the same number of
// encoder opens and closes done on the main thread in the same run.
//   bench_stream_storm [pairs]

#include "core/Async.h"
#include "remotedesktop/RemoteDesktopH264Encoder.h"
#include "remotedesktop/RemoteDesktopServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <cstdio>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

constexpr int kWidth = 1200;
constexpr int kHeight = 840;

class CountingConnection : public RemoteDesktopConnection {
public:
    void send(const QByteArray &) override { ++frames; }
    qint64 pendingBytes() const override { return 0; }
    bool isOpen() const override { return true; }
    int frames = 0;
};

// A screen whose every pixel changes at every capture.
class ChangingSource : public VideoFrameSource {
public:
    std::optional<Frame> capture(int width, int height, QString *) override
    {
        auto picture = std::make_shared<I420Picture>(width, height);
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? height : picture->chromaHeight();
            std::fill_n(picture->plane(plane), size_t(picture->stride(plane)) * size_t(rows),
                        uint8_t(m_tick * (plane + 1)));
        }
        ++m_tick;
        return Frame{picture, false};
    }

private:
    int m_tick = 0;
};

// The longest the main thread went without running a 1 ms timer.
class Heartbeat {
public:
    Heartbeat()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longest = std::max(m_longest, m_since.restart());
        });
    }
    void start()
    {
        m_longest = 0;
        m_since.start();
        m_timer.start(1);
    }
    qint64 stop()
    {
        m_timer.stop();
        return std::max(m_longest, m_since.elapsed());
    }

private:
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

// Runs `step` once per turn of the event loop, `count` times.
void everyTurn(int count, const std::function<void()> &step)
{
    for (int i = 0; i < count; ++i) {
        step();
        QCoreApplication::processEvents();
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int pairs = argc > 1 ? std::max(1, atoi(argv[1])) : 1500;

    RemoteDesktopServer server;
    server.setFrameSourceFactory([](const RemoteDesktopSource &) { return std::make_unique<ChangingSource>(); });
    std::atomic<int> opened{0};
    server.setEncoderFactory([&opened](int width, int height, int fps, int64_t bitrate) {
        ++opened;
        return std::make_shared<RemoteDesktopH264Encoder>(width, height, fps, bitrate);
    });
    Heartbeat heartbeat;

    // The server: a start and a stop per turn, then a stream that stays.
    QElapsedTimer elapsed;
    heartbeat.start();
    elapsed.start();
    everyTurn(pairs, [&] {
        server.start(std::make_shared<CountingConnection>(), RemoteDesktopSource::mainDisplay(), kWidth, kHeight, 30,
                     4'000'000);
        server.stop();
    });
    const qint64 stormMs = elapsed.elapsed();
    const qint64 stormStall = heartbeat.stop();
    auto last = std::make_shared<CountingConnection>();
    elapsed.restart();
    server.start(last, RemoteDesktopSource::mainDisplay(), kWidth, kHeight, 30, 4'000'000);
    while (last->frames == 0 && elapsed.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const qint64 firstFrameMs = elapsed.elapsed();
    server.stop();

    // Reference: each start and stop opening and closing its encoder on the
    // main thread.
    heartbeat.start();
    elapsed.restart();
    everyTurn(pairs, [] { RemoteDesktopH264Encoder encoder(kWidth, kHeight, 30, 4'000'000); });
    const qint64 referenceMs = elapsed.elapsed();
    const qint64 referenceStall = heartbeat.stop();

    std::printf("%d start/stop pairs at %dx%d, one pair per event-loop turn\n", pairs, kWidth, kHeight);
    std::printf("  server:    %6lld ms in all, longest main-thread stall %4lld ms, %d encoders opened,"
                " first frame after the storm in %lld ms\n",
                (long long)stormMs, (long long)stormStall, opened.load(), (long long)firstFrameMs);
    std::printf("  reference: %6lld ms in all, longest main-thread stall %4lld ms (encoder opened and closed"
                " on the main thread each time)\n",
                (long long)referenceMs, (long long)referenceStall);
    std::printf("  ratio of main-thread time: %.3f\n", referenceMs > 0 ? double(stormMs) / double(referenceMs) : 0.0);
    return 0;
}
