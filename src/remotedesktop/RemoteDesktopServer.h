#pragma once

#include "core/Async.h"
#include "platform/video/PixelBuffer.h"
#include "platform/video/VideoFrameSource.h"
#include "remotedesktop/RemoteDesktopRuntimes.h"

#include <QByteArray>
#include <QObject>
#include <QUuid>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace trellium {

class RemoteDesktopFrameSchedule;
class RemoteDesktopH264Encoder;
class SerialQueue;

// What the stream shows: a runtime's display, nothing, the drawn test card,
// or the host's main display.
struct RemoteDesktopSource {
    enum class Kind { runtime, none, test, mainDisplay };
    Kind kind = Kind::none;
    QUuid runtimeID;

    static RemoteDesktopSource runtime(const QUuid &id) { return {Kind::runtime, id}; }
    static RemoteDesktopSource none() { return {Kind::none, {}}; }
    static RemoteDesktopSource test() { return {Kind::test, {}}; }
    static RemoteDesktopSource mainDisplay() { return {Kind::mainDisplay, {}}; }

    bool operator==(const RemoteDesktopSource &other) const
    {
        return kind == other.kind && (kind != Kind::runtime || runtimeID == other.runtimeID);
    }
};

// The client connection frames are written to. Each send is one whole
// message, never interleaved with others.
class RemoteDesktopConnection {
public:
    virtual ~RemoteDesktopConnection() = default;
    virtual void send(const QByteArray &message) = 0;
    // Bytes accepted but not yet written to the peer.
    virtual qint64 pendingBytes() const = 0;
    virtual bool isOpen() const = 0;
};

// Streams one picture source to one client connection: H.264 "RDH1" frames
// for displays, JPEG "RD_FRAME" frames for the test card. One stream at a
// time; main thread only. Display frames are taken when the picture changes,
// at most one per interval; a still picture is sent again once per interval.
class RemoteDesktopServer : public QObject {
    Q_OBJECT
public:
    // While more than this waits to be written, capture and encoding pause.
    static constexpr qint64 kBackPressureBytes = 2 * 1024 * 1024;
    // The largest stream side; the display mirror follows no larger screen.
    static constexpr int kMaximumStreamSide = maximumPictureSide;

    // Called once, on the main thread, when the encoder refuses a started
    // stream; the German text is meant for the client.
    using FailureHandler = std::function<void(const QString &message)>;
    // Makes a stream's encoder. Runs on the server's encoder thread.
    using EncoderFactory =
        std::function<std::shared_ptr<RemoteDesktopH264Encoder>(int width, int height, int fps, int64_t bitrate)>;

    static RemoteDesktopServer &shared();
    RemoteDesktopServer();
    ~RemoteDesktopServer() override;

    // Replaces any running stream and returns at once: the encoder is opened
    // (and an old one closed) on an encoder thread, so storms of starts and
    // stops never hold up the main thread. Stops the running stream first,
    // then throws DomainError ("RemoteDesktop") for a size that is zero, odd
    // or beyond kMaximumStreamSide, or an fps outside 1..240. When the encoder refuses
    // the stream, the stream ends and onFailure is called.
    void start(std::shared_ptr<RemoteDesktopConnection> connection, RemoteDesktopSource source, int width, int height,
               int fps, int64_t bitrate, FailureHandler onFailure = {});
    void stop();

    RemoteDesktopSource currentSource() const { return m_source; }
    int64_t frameIndex() const { return m_frameIndex; }
    bool isStreaming() const { return m_loopToken.has_value(); }
    // Whether the running stream goes to this connection (compared, never used).
    bool isStreamingTo(const RemoteDesktopConnection *connection) const;

    void sendH264Frame(RemoteDesktopConnection &connection, int width, int height, const QByteArray &frame,
                       bool isKeyFrame, const std::optional<QByteArray> &sps, const std::optional<QByteArray> &pps);
    void sendJPEGFrame(RemoteDesktopConnection &connection, int width, int height);
    static std::optional<QByteArray> renderTestFrame(int width, int height, int64_t frameNumber);

    // The 24-byte header and the frame parts of one "RDH1" message.
    static QByteArray h264FrameMessage(int width, int height, uint32_t frameIndex, bool isKeyFrame,
                                       const QByteArray &frame, const std::optional<QByteArray> &sps,
                                       const std::optional<QByteArray> &pps);

    // Where runtime machines and records come from (the agent's runtime manager).
    void setRuntimes(RemoteDesktopRuntimes runtimes) { m_runtimes = std::move(runtimes); }
    // Makes the picture source of a stream (tests); by default the X11
    // screen for the main display and the display host's view for a runtime.
    using FrameSourceFactory = std::function<std::unique_ptr<VideoFrameSource>(const RemoteDesktopSource &)>;
    void setFrameSourceFactory(FrameSourceFactory factory) { m_frameSourceFactory = std::move(factory); }
    // Replaces how encoders are made (tests); none restores x264.
    void setEncoderFactory(EncoderFactory factory);

signals:
    // A stream ended (stopped, replaced, or its connection closed); the
    // source it showed.
    void streamStopped(trellium::RemoteDesktopSource source);

private:
    struct Stream;

    std::unique_ptr<VideoFrameSource> makeFrameSource(const RemoteDesktopSource &source) const;
    QCoro::Task<void> frameLoop(std::shared_ptr<Stream> stream, CancelToken token, uint64_t generation);
    void takeFrame(Stream &stream);
    // Waits for the delay to pass or the stream's picture to change; touches
    // nothing of the server.
    static QCoro::Task<void> waitForFrame(std::shared_ptr<Stream> stream, std::chrono::nanoseconds delay,
                                          CancelToken token);
    // Null when the stream was stopped before its turn came.
    static QCoro::Task<std::shared_ptr<RemoteDesktopH264Encoder>> openEncoder(std::shared_ptr<SerialQueue> queue,
                                                                              EncoderFactory factory, int width,
                                                                              int height, int fps, int64_t bitrate,
                                                                              CancelToken token);
    // Silences the encoder here and closes it on the encoder thread.
    static void retireEncoder(const std::shared_ptr<SerialQueue> &queue,
                              std::shared_ptr<RemoteDesktopH264Encoder> encoder);
    void installEncoder(std::shared_ptr<RemoteDesktopH264Encoder> encoder, const Stream &stream, uint64_t generation);

    // Opens and closes encoders one after another; shared with frame loops
    // that may outlive the server.
    std::shared_ptr<SerialQueue> m_encoderQueue;
    EncoderFactory m_encoderFactory;
    std::optional<CancelToken> m_loopToken;
    std::shared_ptr<RemoteDesktopH264Encoder> m_encoder;
    const RemoteDesktopConnection *m_connection = nullptr;
    int64_t m_frameIndex = 0;
    RemoteDesktopSource m_source;
    // Frames of a stopped stream still on their way to the main thread carry
    // an older generation and are dropped.
    uint64_t m_generation = 0;
    RemoteDesktopRuntimes m_runtimes;
    FrameSourceFactory m_frameSourceFactory;
};

} // namespace trellium
