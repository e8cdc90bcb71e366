#include "remotedesktop/RemoteDesktopServer.h"

#include "core/Errors.h"
#include "core/Json.h"
#include "core/Log.h"
#include "core/SerialQueue.h"
#include "model/RemoteDesktopVideoHeader.h"
#include "platform/screen/X11ScreenCapture.h"
#include "remotedesktop/RemoteDesktopFrameSchedule.h"
#include "remotedesktop/RemoteDesktopH264Encoder.h"
#include "remotedesktop/RuntimeDisplayHost.h"
#include "remotedesktop/RuntimeFrameSource.h"

#include <QBuffer>
#include <QDateTime>
#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <QTimer>
#include <QtEndian>

namespace trellium {

namespace {

void appendLittleEndian16(QByteArray &bytes, uint16_t value)
{
    char raw[2];
    qToLittleEndian(value, raw);
    bytes.append(raw, 2);
}

void appendLittleEndian32(QByteArray &bytes, uint32_t value)
{
    char raw[4];
    qToLittleEndian(value, raw);
    bytes.append(raw, 4);
}

[[noreturn]] void refuse(const QString &why)
{
    throw DomainError(QStringLiteral("RemoteDesktop"), 1, why);
}

} // namespace

// What one started stream keeps: fixed for its life but the bookkeeping.
struct RemoteDesktopServer::Stream {
    std::shared_ptr<RemoteDesktopConnection> connection;
    RemoteDesktopSource source;
    int width = 0;
    int height = 0;
    int fps = 0;
    int64_t bitrate = 0;
    FailureHandler onFailure;
    // From when the loop runs with its encoder.
    std::optional<RemoteDesktopFrameSchedule> schedule;
    bool changed = false;  // noted before the schedule existed
    // Resumes the loop's wait early when the picture changes.
    std::optional<Completion<void>> wake;
    // After a picture the encoder did not get, a picture the source calls
    // unchanged may still differ from the encoder's last one.
    bool encoderInStep = false;
    bool needsKeyFrame = false;
    std::unique_ptr<VideoFrameSource> frames;
};

RemoteDesktopServer &RemoteDesktopServer::shared()
{
    static RemoteDesktopServer *server = new RemoteDesktopServer();
    return *server;
}

RemoteDesktopServer::RemoteDesktopServer()
    : m_encoderQueue(std::make_shared<SerialQueue>(QStringLiteral("trellium.remote-desktop.encoder")))
{
    setEncoderFactory({});
}

void RemoteDesktopServer::setEncoderFactory(EncoderFactory factory)
{
    if (!factory) {
        factory = [](int width, int height, int fps, int64_t bitrate) {
            return std::make_shared<RemoteDesktopH264Encoder>(width, height, fps, bitrate);
        };
    }
    m_encoderFactory = std::move(factory);
}

RemoteDesktopServer::~RemoteDesktopServer()
{
    stop();
}

void RemoteDesktopServer::start(std::shared_ptr<RemoteDesktopConnection> connection, RemoteDesktopSource source,
                                int width, int height, int fps, int64_t bitrate, FailureHandler onFailure)
{
    // A start replaces the running stream even when it is refused: the
    // client asked for that one to end.
    stop();
    if (width <= 0 || height <= 0 || width > kMaximumStreamSide || height > kMaximumStreamSide || width % 2 != 0
        || height % 2 != 0)
        refuse(QStringLiteral("Ungültige Bildgröße für den Stream: %1 x %2").arg(width).arg(height));
    if (fps <= 0 || fps > 240)
        refuse(QStringLiteral("Ungültige Bildrate für den Stream: %1").arg(fps));

    m_source = source;
    m_frameIndex = 0;
    m_connection = connection.get();

    CancelToken token;
    m_loopToken = token;
    auto stream = std::make_shared<Stream>();
    stream->connection = std::move(connection);
    stream->source = source;
    stream->width = width;
    stream->height = height;
    stream->fps = fps;
    stream->bitrate = bitrate;
    stream->onFailure = std::move(onFailure);
    stream->frames = makeFrameSource(source);
    if (stream->frames) {
        Stream *changing = stream.get();
        connect(stream->frames.get(), &VideoFrameSource::changed, stream->frames.get(), [changing] {
            if (changing->schedule)
                changing->schedule->noteChange();
            else
                changing->changed = true;
            if (changing->wake)
                changing->wake->resolve();
        });
    }
    startDetached(frameLoop(std::move(stream), token, m_generation), QStringLiteral("RD frame loop"));
}

std::unique_ptr<VideoFrameSource> RemoteDesktopServer::makeFrameSource(const RemoteDesktopSource &source) const
{
    if (m_frameSourceFactory)
        return m_frameSourceFactory(source);
    switch (source.kind) {
    case RemoteDesktopSource::Kind::mainDisplay:
        return std::make_unique<X11ScreenCapture>();
    case RemoteDesktopSource::Kind::runtime:
        return std::make_unique<RuntimeFrameSource>(source.runtimeID, m_runtimes, RuntimeDisplayHost::shared());
    case RemoteDesktopSource::Kind::none:
    case RemoteDesktopSource::Kind::test:
        break;
    }
    return nullptr;
}

void RemoteDesktopServer::stop()
{
    ++m_generation;
    if (!m_loopToken && !m_encoder)
        return;
    const RemoteDesktopSource ended = m_source;
    if (m_loopToken) {
        m_loopToken->cancel();
        m_loopToken.reset();
    }
    retireEncoder(m_encoderQueue, std::exchange(m_encoder, nullptr));
    m_frameIndex = 0;
    m_source = RemoteDesktopSource::none();
    m_connection = nullptr;
    emit streamStopped(ended);
}

bool RemoteDesktopServer::isStreamingTo(const RemoteDesktopConnection *connection) const
{
    return m_loopToken && connection && connection == m_connection;
}

QCoro::Task<std::shared_ptr<RemoteDesktopH264Encoder>> RemoteDesktopServer::openEncoder(
    std::shared_ptr<SerialQueue> queue, EncoderFactory factory, int width, int height, int fps, int64_t bitrate,
    CancelToken token)
{
    Completion<std::shared_ptr<RemoteDesktopH264Encoder>> opened;
    auto open = [opened, factory = std::move(factory), width, height, fps, bitrate, token]() mutable {
        // A stream stopped before its turn opens nothing: a storm of starts
        // and stops costs one encoder, not one each.
        if (token.isCancelled()) {
            opened.resolve(nullptr);
            return;
        }
        try {
            opened.resolve(factory(width, height, fps, bitrate));
        } catch (...) {
            opened.reject(std::current_exception());
        }
    };
    queue->async(std::move(open));
    co_return co_await opened;
}

void RemoteDesktopServer::retireEncoder(const std::shared_ptr<SerialQueue> &queue,
                                        std::shared_ptr<RemoteDesktopH264Encoder> encoder)
{
    if (!encoder)
        return;
    // Frames it still makes are stale: none reaches a connection.
    encoder->silence();
    auto close = [encoder = std::move(encoder)]() mutable { encoder.reset(); };
    queue->async(std::move(close));
}

void RemoteDesktopServer::installEncoder(std::shared_ptr<RemoteDesktopH264Encoder> encoder, const Stream &stream,
                                         uint64_t generation)
{
    std::weak_ptr<RemoteDesktopConnection> weakConnection = stream.connection;
    const int width = stream.width;
    const int height = stream.height;
    encoder->setOnEncodedFrame([this, weakConnection, width, height, generation](
                                   QByteArray frame, bool isKeyFrame, std::optional<QByteArray> sps,
                                   std::optional<QByteArray> pps) {
        if (generation != m_generation)
            return;
        if (auto open = weakConnection.lock())
            sendH264Frame(*open, width, height, frame, isKeyFrame, sps, pps);
    });
    m_encoder = std::move(encoder);
}

QCoro::Task<void> RemoteDesktopServer::frameLoop(std::shared_ptr<Stream> stream, CancelToken token,
                                                 uint64_t generation)
{
    const RemoteDesktopSource source = stream->source;
    const int width = stream->width;
    const int height = stream->height;
    const int fps = stream->fps;
    // Everything below happens after start() returned, even an encoder
    // thread quick enough to answer before the first await.
    try {
        co_await sleepFor(std::chrono::milliseconds(0), token);
    } catch (const CancelledError &) {
        co_return;
    }
    if (source.kind == RemoteDesktopSource::Kind::runtime || source.kind == RemoteDesktopSource::Kind::mainDisplay) {
        // Held by the loop: the server may be gone when the encoder is ready.
        const std::shared_ptr<SerialQueue> queue = m_encoderQueue;
        std::shared_ptr<RemoteDesktopH264Encoder> encoder;
        try {
            encoder = co_await openEncoder(queue, m_encoderFactory, width, height, fps, stream->bitrate, token);
        } catch (const std::exception &error) {
            logLine(QStringLiteral("RD encoder error:"), describeError(error));
        }
        if (token.isCancelled()) {
            retireEncoder(queue, std::move(encoder));
            co_return;
        }
        if (!encoder || !encoder->hasSession()) {
            retireEncoder(queue, std::move(encoder));
            logLine(QStringLiteral("RD encoder refused %1 x %2 at %3 bit/s").arg(width).arg(height).arg(stream->bitrate));
            const FailureHandler onFailure = std::move(stream->onFailure);
            stop();
            if (onFailure)
                onFailure(QStringLiteral("Der Videoencoder kann keinen Stream mit %1 x %2 Pixeln erzeugen.")
                              .arg(width)
                              .arg(height));
            co_return;
        }
        installEncoder(std::move(encoder), *stream, generation);
    }

    using Clock = RemoteDesktopFrameSchedule::Clock;
    stream->schedule.emplace(std::chrono::nanoseconds(1'000'000'000 / fps), Clock::now());
    if (stream->changed)
        stream->schedule->noteChange();
    // After every wait the token is checked first: a stopped stream (or a
    // destroyed server) is never touched again.
    while (!token.isCancelled()) {
        if (source.kind == RemoteDesktopSource::Kind::none)
            co_return;
        if (!stream->connection->isOpen()) {
            if (generation == m_generation)
                stop();
            co_return;
        }
        const Clock::time_point now = Clock::now();
        const Clock::time_point due = stream->schedule->nextFrame(now);
        if (due > now) {
            try {
                co_await waitForFrame(stream, due - now, token);
            } catch (const CancelledError &) {
                co_return;
            }
            continue;
        }
        takeFrame(*stream);
        stream->schedule->frameTaken(now);
    }
}

void RemoteDesktopServer::takeFrame(Stream &stream)
{
    if (stream.source.kind == RemoteDesktopSource::Kind::test) {
        sendJPEGFrame(*stream.connection, stream.width, stream.height);
        return;
    }
    if (stream.connection->pendingBytes() > kBackPressureBytes) {
        // The client is not reading: capture and encode nothing until it
        // catches up, then start again with a key frame.
        stream.needsKeyFrame = true;
        return;
    }
    QString error;
    std::optional<VideoFrameSource::Frame> frame =
        stream.frames ? stream.frames->capture(stream.width, stream.height, &error) : std::nullopt;
    if (!frame) {
        if (stream.source.kind == RemoteDesktopSource::Kind::mainDisplay)
            logLine(QStringLiteral("SCK PixelBuffer capture failed:"), error);
        return;
    }
    if (!m_encoder || !m_encoder->hasSession()) {
        stream.encoderInStep = false;
        return;
    }
    if (stream.needsKeyFrame) {
        m_encoder->requestKeyFrame();
        stream.needsKeyFrame = false;
    }
    m_encoder->encode(std::move(frame->picture), stream.encoderInStep && frame->unchanged);
    stream.encoderInStep = true;
}

QCoro::Task<void> RemoteDesktopServer::waitForFrame(std::shared_ptr<Stream> stream, std::chrono::nanoseconds delay,
                                                    CancelToken token)
{
    token.throwIfCancelled();
    Completion<void> wake;
    stream->wake = wake;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [wake]() mutable { wake.resolve(); });
    // Never early: a wake before the due time would only wait again.
    timer.start(std::chrono::ceil<std::chrono::milliseconds>(delay));
    const auto cancel = [wake]() mutable { wake.fail(CancelledError()); };
    const int callbackId = token.onCancel(cancel);
    std::exception_ptr failure;
    try {
        co_await wake;
    } catch (...) {
        failure = std::current_exception();
    }
    token.removeCallback(callbackId);
    stream->wake.reset();
    if (failure)
        std::rethrow_exception(failure);
}

QByteArray RemoteDesktopServer::h264FrameMessage(int width, int height, uint32_t frameIndex, bool isKeyFrame,
                                                 const QByteArray &frame, const std::optional<QByteArray> &sps,
                                                 const std::optional<QByteArray> &pps)
{
    const qsizetype spsLength = sps ? sps->size() : 0;
    const qsizetype ppsLength = pps ? pps->size() : 0;
    QByteArray message;
    message.reserve(24 + spsLength + ppsLength + frame.size());
    message.append("RDH1", 4);
    appendLittleEndian16(message, uint16_t(width));
    appendLittleEndian16(message, uint16_t(height));
    appendLittleEndian32(message, frameIndex);
    appendLittleEndian32(message, isKeyFrame ? 1u : 0u);
    appendLittleEndian32(message, uint32_t(frame.size()));
    appendLittleEndian16(message, uint16_t(spsLength));
    appendLittleEndian16(message, uint16_t(ppsLength));
    if (sps)
        message.append(*sps);
    if (pps)
        message.append(*pps);
    message.append(frame);
    return message;
}

void RemoteDesktopServer::sendH264Frame(RemoteDesktopConnection &connection, int width, int height,
                                        const QByteArray &frame, bool isKeyFrame,
                                        const std::optional<QByteArray> &sps, const std::optional<QByteArray> &pps)
{
    // Parameter sets longer than their 16-bit length fields cannot be framed.
    if ((sps && sps->size() > 65535) || (pps && pps->size() > 65535) || frame.size() > qsizetype(UINT32_MAX)) {
        logLine(QStringLiteral("RD binary H264 send error:"), QStringLiteral("Frame zu groß"));
        return;
    }
    ++m_frameIndex;
    if (!connection.isOpen()) {
        logLine(QStringLiteral("RD binary H264 send error:"), QStringLiteral("Verbindung geschlossen"));
        return;
    }
    connection.send(h264FrameMessage(width, height, uint32_t(m_frameIndex), isKeyFrame, frame, sps, pps));
}

void RemoteDesktopServer::sendJPEGFrame(RemoteDesktopConnection &connection, int width, int height)
{
    ++m_frameIndex;
    const std::optional<QByteArray> image = renderTestFrame(width, height, m_frameIndex);
    if (!image)
        return;
    RemoteDesktopVideoHeader header;
    header.width = width;
    header.height = height;
    header.codec = QStringLiteral("jpeg-test");
    header.frameIndex = m_frameIndex;
    header.timestamp = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    header.byteCount = image->size();
    header.isKeyFrame = true;
    const QByteArray json = compactJson(header.toJson());
    QByteArray message = "RD_FRAME " + QByteArray::number(json.size()) + '\n';
    message.append(json);
    message.append(*image);
    if (!connection.isOpen()) {
        logLine(QStringLiteral("RD send error:"), QStringLiteral("Verbindung geschlossen"));
        return;
    }
    connection.send(message);
}

std::optional<QByteArray> RemoteDesktopServer::renderTestFrame(int width, int height, int64_t frameNumber)
{
    if (width <= 0 || height <= 0)
        return std::nullopt;
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    {
        QPainter painter(&image);
        // The card's coordinates have their origin at the bottom left.
        const int x = int((frameNumber * 10) % width);
        const int bottom = height / 3;
        painter.fillRect(QRect(x, height - bottom - 160, 220, 160),
                         QColor::fromHsvF(float(frameNumber % 360) / 360.0f, 0.8f, 0.9f, 1.0f));
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(42);
        font.setBold(true);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QPointF(40, 100 - painter.fontMetrics().descent()),
                         QStringLiteral("TRELLIUM RD Frame %1").arg(frameNumber));
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPG", 65))
        return std::nullopt;
    return jpeg;
}

} // namespace trellium
