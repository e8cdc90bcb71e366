#include "agent/AgentManager.h"
#include "core/Files.h"
#include "model/RemoteDesktopVideoHeader.h"
#include "remotedesktop/RemoteDesktopH264Encoder.h"
#include "remotedesktop/RemoteDesktopServer.h"

#include "remotedesktop/RuntimeDisplayHost.h"

#include "support/H264Decoder.h"
#include "support/RemoteDesktopFrame.h"
#include "support/Samples.h"
#include "support/ScriptedMachine.h"
#include "support/TestEnvironment.h"
#include "support/TestGuest.h"
#include "support/VncFakeServer.h"

#include <QElapsedTimer>
#include <QImage>
#include <QSemaphore>
#include <QThread>
#include <QPainter>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

class RecordingConnection : public RemoteDesktopConnection {
public:
    void send(const QByteArray &message) override { messages << message; }
    qint64 pendingBytes() const override { return pending; }
    bool isOpen() const override { return open; }

    QList<QByteArray> messages;
    qint64 pending = 0;
    bool open = true;
};

using Frame = test::RemoteDesktopFrame;

// A moving picture as the main display would give it.
QImage movingPicture(int width, int height, int tick)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(30, 60, 90));
    QPainter painter(&image);
    painter.fillRect((tick * 17) % (width - 100), height / 2, 100, 80, Qt::yellow);
    painter.drawText(20, 40, QStringLiteral("Bild %1").arg(tick));
    painter.end();
    return image;
}

std::shared_ptr<I420Picture> toI420(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    auto picture = std::make_shared<I420Picture>(rgb.width(), rgb.height());
    picture->convertFrom(rgb.constBits(), int(rgb.bytesPerLine()));
    return picture;
}

// A screen the test paints: a new picture at every capture while `moving`,
// else the same picture again, as the real sources hand it out.
class PaintedSource : public VideoFrameSource {
public:
    std::optional<Frame> capture(int width, int height, QString *) override
    {
        ++captures;
        if (!moving && m_last && m_last->size() == QSize(width, height))
            return Frame{m_last, true};
        ++paintings;
        m_last = toI420(movingPicture(width, height, paintings));
        return Frame{m_last, false};
    }

    bool moving = true;
    int captures = 0;
    int paintings = 0;

private:
    std::shared_ptr<const I420Picture> m_last;
};

class RemoteDesktopServerTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        server.setFrameSourceFactory([this](const RemoteDesktopSource &) {
            auto made = std::make_unique<PaintedSource>();
            source = made.get();
            return made;
        });
    }

    bool waitForMessages(qsizetype count)
    {
        return test::waitUntil([&] { return connection->messages.size() >= count; }, 30s);
    }

    RemoteDesktopServer server;
    std::shared_ptr<RecordingConnection> connection = std::make_shared<RecordingConnection>();
    PaintedSource *source = nullptr;  // the running stream's (gone when it ends)
};

} // namespace

TEST(RemoteDesktopFrames, HeaderIsLittleEndianInFieldOrder)
{
    const QByteArray message = RemoteDesktopServer::h264FrameMessage(1200, 840, 1, true, "FRAME", QByteArray("SPS!"),
                                                                     QByteArray("PP"));
    EXPECT_EQ(message.left(8).toHex(' '), QByteArray("52 44 48 31 b0 04 48 03"));
    EXPECT_EQ(message.mid(8, 16).toHex(' '), QByteArray("01 00 00 00 01 00 00 00 05 00 00 00 04 00 02 00"));
    EXPECT_EQ(message.mid(24), "SPS!PPFRAME");
    const QByteArray plain = RemoteDesktopServer::h264FrameMessage(1200, 840, 2, false, "F", std::nullopt, std::nullopt);
    EXPECT_EQ(plain.size(), 25);
    EXPECT_EQ(plain.mid(12, 4), QByteArray(4, '\0'));
    EXPECT_EQ(plain.mid(20, 4), QByteArray(4, '\0'));
}

TEST_F(RemoteDesktopServerTest, StreamsDecodableKeyFramedH264StartingAtIndexOneAndANewStreamAfresh)
{
    server.start(connection, RemoteDesktopSource::mainDisplay(), 640, 480, 30, 2'000'000);
    EXPECT_EQ(server.currentSource(), RemoteDesktopSource::mainDisplay());
    ASSERT_TRUE(waitForMessages(45));  // past the first key frame's successors
    // A client that lags pauses the stream; it resumes with a key frame.
    connection->pending = RemoteDesktopServer::kBackPressureBytes + 1;
    const int capturesBefore = source->captures;
    runSync(sleepFor(300ms));
    const qsizetype paused = connection->messages.size();
    runSync(sleepFor(300ms));
    EXPECT_LE(source->captures - capturesBefore, 2);  // nothing captured while the client lags
    EXPECT_EQ(connection->messages.size(), paused);
    connection->pending = 0;
    ASSERT_TRUE(waitForMessages(paused + 1));
    EXPECT_EQ(Frame::parse(connection->messages.at(paused)).flags, 1u);

    // A second stream, of a still screen: the old connection gets nothing
    // more, the new one a frame per interval from one picture.
    auto second = std::make_shared<RecordingConnection>();
    server.start(second, RemoteDesktopSource::mainDisplay(), 320, 240, 30, 1'000'000);
    source->moving = false;
    const qsizetype oldCount = connection->messages.size();
    ASSERT_TRUE(test::waitUntil([&] { return second->messages.size() >= 20; }, 30s));
    EXPECT_EQ(source->paintings, 1);
    EXPECT_GE(source->captures, 20);
    server.stop();
    EXPECT_EQ(server.currentSource(), RemoteDesktopSource::none());
    EXPECT_EQ(server.frameIndex(), 0);
    EXPECT_EQ(connection->messages.size(), oldCount);

    for (const auto &[client, width] : {std::pair{connection, 640}, std::pair{second, 320}}) {
        test::H264Decoder decoder;
        ASSERT_TRUE(decoder.isOpen());
        uint32_t expected = 1;
        for (const QByteArray &message : client->messages) {
            const Frame frame = Frame::parse(message);
            EXPECT_EQ(frame.index, expected++);
            EXPECT_EQ(frame.width, width);
            EXPECT_EQ(frame.height, width * 3 / 4);
            if (frame.flags == 1) {
                EXPECT_FALSE(frame.sps.isEmpty());
                EXPECT_FALSE(frame.pps.isEmpty());
            } else {
                EXPECT_EQ(frame.flags, 0u);
                EXPECT_TRUE(frame.sps.isEmpty() && frame.pps.isEmpty());
            }
            const auto pictures = decoder.decode(frame.annexB());
            ASSERT_TRUE(pictures && pictures->size() == 1) << "frame " << frame.index;
            EXPECT_EQ(pictures->at(0).width, width);
            // The still picture's yellow block, at the place of the one painting.
            if (client == second)
                EXPECT_GT(pictures->at(0).colorAt(17 + 50, 120 + 40).red(), 200) << "frame " << frame.index;
        }
        EXPECT_EQ(Frame::parse(client->messages.first()).flags, 1u);
    }
}

TEST_F(RemoteDesktopServerTest, TestCardFramesCarryAJsonHeaderAndAJpeg)
{
    server.start(connection, RemoteDesktopSource::test(), 640, 480, 30, 0);
    ASSERT_TRUE(waitForMessages(2));
    server.stop();
    const QByteArray message = connection->messages.at(1);
    const qsizetype lineEnd = message.indexOf('\n');
    const QByteArray line = message.left(lineEnd);
    ASSERT_TRUE(line.startsWith("RD_FRAME "));
    const int jsonLength = line.mid(9).toInt();
    const RemoteDesktopVideoHeader header =
        RemoteDesktopVideoHeader::fromJson(parseJsonObject(message.mid(lineEnd + 1, jsonLength)));
    EXPECT_EQ(header.codec, QStringLiteral("jpeg-test"));
    EXPECT_EQ(header.frameIndex, 2);
    EXPECT_TRUE(header.isKeyFrame);
    EXPECT_EQ(header.width, 640);
    EXPECT_FALSE(header.spsBase64);
    const QByteArray jpeg = message.mid(lineEnd + 1 + jsonLength);
    EXPECT_EQ(jpeg.size(), header.byteCount);
    const QImage image = QImage::fromData(jpeg, "JPG");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(640, 480));
    // Frame 2's block: x = 20, bottom at a third of the height from below.
    const QColor block = image.pixelColor(20 + 110, 480 - 480 / 3 - 80);
    EXPECT_GT(block.saturationF(), 0.5);
    EXPECT_LT(image.pixelColor(600, 470).lightness(), 30);
}

TEST_F(RemoteDesktopServerTest, RefusedSizesAndStreamsTheEncoderRefusesFailOnceInsteadOfStayingSilent)
{
    int stopped = 0;
    QObject::connect(&server, &RemoteDesktopServer::streamStopped, [&stopped] { ++stopped; });
    // The display mirror's limit, not the frame header's: a 65,250 wide
    // stream was once "started" and then stayed silent. A refused start
    // still ends the stream it was to replace.
    server.start(connection, RemoteDesktopSource::mainDisplay(), 640, 480, 30, 2'000'000);
    ASSERT_TRUE(waitForMessages(1));
    for (const QSize size : {QSize(0, 480), QSize(641, 480), QSize(640, 65536), QSize(-2, 2), QSize(65250, 840),
                             QSize(16386, 840), QSize(2, 16386)})
        EXPECT_THROW(server.start(connection, RemoteDesktopSource::mainDisplay(), size.width(), size.height(), 30, 1),
                     DomainError)
            << size.width() << " x " << size.height();
    EXPECT_FALSE(server.isStreaming());
    EXPECT_EQ(stopped, 1);
    connection->messages.clear();

    // Counted apart from the sources, which go with their streams.
    struct CountingSource : PaintedSource {
        std::shared_ptr<int> count;
        std::optional<Frame> capture(int width, int height, QString *error) override
        {
            ++*count;
            return PaintedSource::capture(width, height, error);
        }
    };
    auto captures = std::make_shared<int>(0);
    server.setFrameSourceFactory([captures](const RemoteDesktopSource &) {
        auto made = std::make_unique<CountingSource>();
        made->count = captures;
        return made;
    });
    // x264 refuses a bitrate below 1 kbit/s; then a factory that throws: the
    // size limit itself is the encoder's to judge.
    QSize asked;
    for (const QSize size : {QSize(640, 480), QSize(16384, 16384)}) {
        QStringList failures;
        server.start(connection, RemoteDesktopSource::mainDisplay(), size.width(), size.height(), 30, 999,
                     [&failures](const QString &message) { failures << message; });
        ASSERT_TRUE(test::waitUntil([&] { return !failures.isEmpty(); }, 10s));
        EXPECT_EQ(failures, QStringList{QStringLiteral("Der Videoencoder kann keinen Stream mit %1 x %2 Pixeln erzeugen.")
                                            .arg(size.width())
                                            .arg(size.height())});
        EXPECT_FALSE(server.isStreaming());
        EXPECT_EQ(server.currentSource(), RemoteDesktopSource::none());
        runSync(sleepFor(100ms));
        EXPECT_EQ(failures.size(), 1);
        server.setEncoderFactory([&asked](int width, int height, int, int64_t) -> std::shared_ptr<RemoteDesktopH264Encoder> {
            asked = QSize(width, height);
            throw DomainError(QStringLiteral("Test"), 1, QStringLiteral("kaputt"));
        });
    }
    EXPECT_EQ(asked, QSize(16384, 16384));
    EXPECT_EQ(stopped, 3);
    EXPECT_TRUE(connection->messages.isEmpty());
    EXPECT_EQ(*captures, 0);
}

TEST_F(RemoteDesktopServerTest, EncodersOpenAndCloseOffTheMainThread)
{
    // Gates that hold an open and a close until the main thread lets them
    // go: were either done on the main thread, it would wait out the gate.
    struct Gates {
        QSemaphore open;
        QSemaphore close;
        std::atomic<int> opened{0};
        std::atomic<int> closed{0};
        std::atomic<int> onMainThread{0};
    };
    auto gates = std::make_shared<Gates>();
    QThread *mainThread = QThread::currentThread();
    server.setEncoderFactory([gates, mainThread](int width, int height, int fps, int64_t bitrate) {
        gates->onMainThread += QThread::currentThread() == mainThread;
        gates->open.tryAcquire(1, 10000);
        ++gates->opened;
        return std::shared_ptr<RemoteDesktopH264Encoder>(
            new RemoteDesktopH264Encoder(width, height, fps, bitrate),
            [gates, mainThread](RemoteDesktopH264Encoder *encoder) {
                gates->onMainThread += QThread::currentThread() == mainThread;
                gates->close.tryAcquire(1, 10000);
                delete encoder;
                ++gates->closed;
            });
    });

    server.start(connection, RemoteDesktopSource::mainDisplay(), 640, 480, 30, 2'000'000);
    EXPECT_EQ(gates->opened, 0);
    EXPECT_TRUE(server.isStreamingTo(connection.get()));
    runSync(sleepFor(50ms));  // the main thread goes on meanwhile
    gates->open.release();
    ASSERT_TRUE(waitForMessages(3));

    server.stop();
    EXPECT_EQ(gates->closed, 0);
    EXPECT_FALSE(server.isStreamingTo(connection.get()));
    const qsizetype sent = connection->messages.size();
    runSync(sleepFor(100ms));
    gates->close.release();
    EXPECT_TRUE(test::waitUntil([&] { return gates->closed == 1; }, 10s));
    EXPECT_EQ(gates->onMainThread, 0);
    // Nothing the closing encoder still made reached the connection.
    EXPECT_EQ(connection->messages.size(), sent);
}

TEST_F(RemoteDesktopServerTest, AStartStopStormOpensFewEncodersAndDeliversNoStaleFrame)
{
    std::atomic<int> opened{0};
    server.setEncoderFactory([&opened](int width, int height, int fps, int64_t bitrate) {
        ++opened;
        return std::make_shared<RemoteDesktopH264Encoder>(width, height, fps, bitrate);
    });
    test::LogCapture quiet;

    // Back to back: only a stream still running when the encoder thread
    // gets to it is opened.
    const int pairs = 1500;
    for (int i = 0; i < pairs; ++i) {
        server.start(connection, RemoteDesktopSource::mainDisplay(), 640, 480, 30, 2'000'000);
        server.stop();
    }
    EXPECT_LT(opened, pairs / 10);

    // With the event loop turning in between, frames flow now and then; each
    // connection gets only frames of its own stream, and none after its stop.
    std::vector<std::shared_ptr<RecordingConnection>> clients;
    std::vector<qsizetype> atStop;
    for (int i = 0; i < 40; ++i) {
        auto client = std::make_shared<RecordingConnection>();
        const int width = 320 + 16 * i;
        server.start(client, RemoteDesktopSource::mainDisplay(), width, 240, 30, 1'000'000);
        QElapsedTimer turning;
        turning.start();
        while (turning.elapsed() < (i % 4) * 20)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        server.stop();
        clients.push_back(client);
        atStop.push_back(client->messages.size());
    }
    auto last = std::make_shared<RecordingConnection>();
    server.start(last, RemoteDesktopSource::mainDisplay(), 640, 480, 30, 2'000'000);
    ASSERT_TRUE(test::waitUntil([&] { return last->messages.size() >= 5; }, 30s));
    server.stop();

    // Some of them streamed, or the check below would prove nothing.
    EXPECT_GT(std::count_if(atStop.begin(), atStop.end(), [](qsizetype sent) { return sent > 0; }), 3);
    for (size_t i = 0; i < clients.size(); ++i) {
        EXPECT_EQ(clients[i]->messages.size(), atStop[i]) << "stream " << i;
        for (qsizetype n = 0; n < clients[i]->messages.size(); ++n) {
            const Frame frame = Frame::parse(clients[i]->messages.at(n));
            EXPECT_EQ(frame.index, uint32_t(n + 1));
            EXPECT_EQ(frame.width, 320 + 16 * i);
        }
    }
    const Frame first = Frame::parse(last->messages.first());
    EXPECT_EQ(first.index, 1u);
    EXPECT_EQ(first.flags, 1u);
    EXPECT_EQ(first.width, 640);

    // While the encoder thread is held up opening one encoder, streams that
    // reach its queue and stop before their turn open none.
    auto gate = std::make_shared<QSemaphore>();
    auto held = std::make_shared<std::atomic<int>>(0);
    server.setEncoderFactory([gate, held](int width, int height, int fps, int64_t bitrate) {
        ++*held;
        gate->tryAcquire(1, 10000);
        return std::make_shared<RemoteDesktopH264Encoder>(width, height, fps, bitrate);
    });
    server.start(connection, RemoteDesktopSource::mainDisplay(), 640, 480, 30, 2'000'000);
    ASSERT_TRUE(test::waitUntil([&] { return *held == 1; }, 10s));
    for (int i = 0; i < 20; ++i) {
        server.start(connection, RemoteDesktopSource::mainDisplay(), 320, 240, 30, 1'000'000);
        runSync(sleepFor(5ms));  // its open is queued behind the held one
        server.stop();
    }
    gate->release(1000);
    auto after = std::make_shared<RecordingConnection>();
    server.start(after, RemoteDesktopSource::mainDisplay(), 640, 480, 30, 2'000'000);
    ASSERT_TRUE(test::waitUntil([&] { return !after->messages.isEmpty(); }, 30s));
    server.stop();
    EXPECT_EQ(*held, 2);
}

TEST_F(RemoteDesktopServerTest, ARuntimeStreamReadsItsRecordOnceAndShowsItsScreenAtAnEvenSizeOnlyWhileItRuns)
{
    // A 1366 x 768 runtime at eco: scaled toward zero and made even.
    RuntimeConfig record = test::sampleRuntime();
    record.displayWidth = 1366;
    record.displayHeight = 768;
    const QSize size = AgentManager::scaledRuntimeSize(1366, 768, RemoteDesktopQuality::eco);
    EXPECT_EQ(size, QSize(886, 498));

    QImage screen(1366, 768, QImage::Format_RGB32);
    screen.fill(QColor(200, 30, 40));
    test::VncFakeServer vnc(scratch() + QStringLiteral("/vnc.sock"), screen);
    ASSERT_TRUE(vnc.isListening());
    auto machine = std::make_shared<test::ScriptedMachine>();
    machine->setState(VirtualMachineState::running);
    machine->vncSocket = vnc.socketPath();
    int reads = 0;
    server.setFrameSourceFactory({});
    server.setRuntimes({[&](const QUuid &id) { return id == record.id ? machine : nullptr; },
                        [&](const QUuid &) -> std::optional<RuntimeConfig> {
                            ++reads;
                            return record;
                        }});

    // A runtime without a running machine: no frames, but a line per interval.
    const QUuid gone = QUuid::createUuid();
    test::LogCapture log;
    server.start(connection, RemoteDesktopSource::runtime(gone), 640, 480, 30, 2'000'000);
    ASSERT_TRUE(test::waitUntil([&] { return log.count("Runtime VM not found: " + uuidText(gone)) >= 3; }, 30s));
    EXPECT_TRUE(connection->messages.isEmpty());

    server.start(connection, RemoteDesktopSource::runtime(record.id), size.width(), size.height(), 30, 2'000'000);
    ASSERT_TRUE(waitForMessages(10));
    // A change on the guest's screen reaches the stream.
    QImage changed = screen;
    QPainter(&changed).fillRect(0, 600, 300, 168, QColor(250, 250, 250));
    vnc.setPicture(changed);
    test::H264Decoder decoder;
    qsizetype decoded = 0;
    std::optional<test::H264Picture> last;
    const auto decodeNew = [&] {
        for (; decoded < connection->messages.size(); ++decoded) {
            const Frame frame = Frame::parse(connection->messages.at(decoded));
            const auto pictures = decoder.decode(frame.annexB());
            if (!pictures || pictures->size() != 1)
                return false;
            last = pictures->at(0);
        }
        return true;
    };
    ASSERT_TRUE(test::waitUntil([&] { return decodeNew() && last && last->colorAt(60, 470).lightness() > 200; }, 30s));
    server.stop();
    RuntimeDisplayHost::shared().detach(record.id);

    EXPECT_EQ(reads, 1);
    EXPECT_EQ(QSize(last->width, last->height), size);
    EXPECT_EQ(Frame::parse(connection->messages.first()).width, 886);
}
