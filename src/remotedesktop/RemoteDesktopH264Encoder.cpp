#include "remotedesktop/RemoteDesktopH264Encoder.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
#include <x264.h>
}

namespace trellium {

namespace {

// Slice threads: both slices of a frame are coded in parallel and the frame
// comes out of the same encode call (frame threads would add a frame of delay each).
constexpr int kEncoderThreads = 2;

// x264's length prefix in front of every NAL unit when b_annexb is 0.
constexpr int kLengthPrefix = 4;

struct Pending {
    std::shared_ptr<const I420Picture> picture;
    bool unchanged = false;  // the same as the picture handed over before
};

struct EncodedFrame {
    QByteArray data;
    bool isKeyFrame = false;
    std::optional<QByteArray> sps;
    std::optional<QByteArray> pps;
};

} // namespace

struct RemoteDesktopH264Encoder::Delivery {
    std::mutex mutex;
    std::deque<EncodedFrame> outbox;  // guarded by mutex

    // Main thread only (until the encoder is silenced).
    FrameHandler handler;
    bool open = true;

    void push(EncodedFrame frame, const std::shared_ptr<Delivery> &self)
    {
        bool wasEmpty;
        {
            std::lock_guard lock(mutex);
            wasEmpty = outbox.empty();
            outbox.push_back(std::move(frame));
        }
        // One pending drain empties the whole outbox; a frame pushed while
        // it runs is picked up by its loop.
        QCoreApplication *application = QCoreApplication::instance();
        if (wasEmpty && application) {
            QMetaObject::invokeMethod(
                application, [self]() { self->drain(); }, Qt::QueuedConnection);
        }
    }

    void drain()
    {
        while (open) {
            EncodedFrame frame;
            {
                std::lock_guard lock(mutex);
                if (outbox.empty())
                    return;
                frame = std::move(outbox.front());
                outbox.pop_front();
            }
            if (!handler)
                continue;
            // A copy: the handler may replace itself or end the encoder.
            FrameHandler call = handler;
            call(std::move(frame.data), frame.isKeyFrame, std::move(frame.sps), std::move(frame.pps));
        }
    }
};

class RemoteDesktopH264Encoder::Session {
public:
    // Null when x264 refuses the settings.
    static std::unique_ptr<Session> open(int width, int height, int fps, int64_t bitrate)
    {
        if (width <= 0 || height <= 0 || fps <= 0 || bitrate / 1000 <= 0 || bitrate / 1000 > INT_MAX)
            return nullptr;

        x264_param_t param;
        if (x264_param_default_preset(&param, "superfast", "zerolatency") < 0)
            return nullptr;
        param.i_log_level = X264_LOG_NONE;
        param.i_csp = X264_CSP_I420;
        param.i_width = width;
        param.i_height = height;
        param.i_threads = kEncoderThreads;
        param.b_sliced_threads = 1;
        param.i_fps_num = uint32_t(fps);
        param.i_fps_den = 1;
        param.i_keyint_max = fps;
        param.i_bframe = 0;
        param.b_cabac = 1;
        param.rc.i_rc_method = X264_RC_ABR;
        param.rc.i_bitrate = int(bitrate / 1000);
        // One second's budget: the equivalent of a data-rate limit of bitrate/8 bytes per second.
        param.rc.i_vbv_max_bitrate = int(bitrate / 1000);
        param.rc.i_vbv_buffer_size = int(bitrate / 1000);
        param.b_annexb = 0;
        param.b_repeat_headers = 0;
        // No two-pass statistics; without the default file names x264 copies
        // no strings, which it would leak when it refuses the settings.
        param.rc.psz_stat_out = nullptr;
        param.rc.psz_stat_in = nullptr;
        if (x264_param_apply_profile(&param, "main") < 0)
            return nullptr;

        x264_t *encoder = x264_encoder_open(&param);
        if (!encoder)
            return nullptr;
        auto session = std::unique_ptr<Session>(new Session(encoder, width, height));
        if (!session->readHeaders())
            return nullptr;
        return session;
    }

    ~Session()
    {
        if (m_thread.joinable())
            stop();
        x264_encoder_close(m_encoder);
    }

    void start(std::shared_ptr<Delivery> delivery)
    {
        m_thread = std::thread([this, delivery = std::move(delivery)]() { run(delivery); });
    }

    void hand(std::shared_ptr<const I420Picture> picture, bool unchanged)
    {
        {
            std::lock_guard lock(m_mutex);
            // A replaced picture not taken yet may have differed from the
            // last encoded one.
            if (m_pending)
                unchanged = unchanged && m_pending->unchanged;
            m_pending = Pending{std::move(picture), unchanged};
        }
        m_wake.notify_one();
    }

    void requestKeyFrame()
    {
        std::lock_guard lock(m_mutex);
        m_keyFrameRequested = true;
    }

    void setQuantizerObserver(QuantizerObserver observer)
    {
        std::lock_guard lock(m_mutex);
        m_observer = std::move(observer);
    }

    void complete()
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this]() { return !m_pending && !m_busy; });
    }

    // Encodes what was handed over, then ends the thread.
    void stop()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

private:
    Session(x264_t *encoder, int width, int height)
        : m_encoder(encoder)
        , m_width(width)
        , m_height(height)
    {
    }

    bool readHeaders()
    {
        x264_nal_t *nals = nullptr;
        int count = 0;
        if (x264_encoder_headers(m_encoder, &nals, &count) < 0)
            return false;
        for (int i = 0; i < count; ++i) {
            if (nals[i].i_payload <= kLengthPrefix)
                continue;
            const QByteArray unit(reinterpret_cast<const char *>(nals[i].p_payload) + kLengthPrefix,
                                  nals[i].i_payload - kLengthPrefix);
            if (nals[i].i_type == NAL_SPS)
                m_sps = unit;
            else if (nals[i].i_type == NAL_PPS)
                m_pps = unit;
        }
        return !m_sps.isEmpty() && !m_pps.isEmpty();
    }

    void run(const std::shared_ptr<Delivery> &delivery)
    {
        for (;;) {
            Pending picture;
            bool keyFrame = false;
            QuantizerObserver observer;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this]() { return m_pending || m_stopping; });
                if (!m_pending)
                    break;
                picture = std::move(*m_pending);
                m_pending.reset();
                keyFrame = std::exchange(m_keyFrameRequested, false);
                observer = m_observer;
                m_busy = true;
            }
            encodePicture(picture, keyFrame, observer, delivery);
            // Let go of the picture before reporting idle: its owner may
            // write it again once nobody else holds it.
            picture.picture.reset();
            {
                std::lock_guard lock(m_mutex);
                m_busy = false;
            }
            m_idle.notify_all();
        }
        // Slice threads keep nothing back; this only matters should that change.
        while (x264_encoder_delayed_frames(m_encoder) > 0) {
            if (!output(nullptr, delivery))
                break;
        }
    }

    void encodePicture(const Pending &pending, bool keyFrame, const QuantizerObserver &observer,
                       const std::shared_ptr<Delivery> &delivery)
    {
        const I420Picture *source = pending.picture.get();
        if (!source || source->isNull())
            return;
        bool scaled = false;
        if (source->width() != m_width || source->height() != m_height) {
            m_scaled.resize(m_width, m_height);
            source->scaleInto(m_scaled);
            source = &m_scaled;
            scaled = true;
        }
        // x264 copies the planes in before it returns; it never keeps them.
        x264_picture_t input;
        x264_picture_init(&input);
        input.img.i_csp = X264_CSP_I420;
        input.img.i_plane = 3;
        for (int index = 0; index < 3; ++index) {
            input.img.plane[index] = const_cast<uint8_t *>(source->plane(index));
            input.img.i_stride[index] = source->stride(index);
        }
        input.i_type = keyFrame ? X264_TYPE_IDR : X264_TYPE_AUTO;
        input.i_pts = m_nextPts++;
        // On a still picture x264's rate control keeps lowering the
        // quantizer, coding everything again at every frame (a third of the
        // time and the bytes of a frame that changed). A still picture keeps
        // the last quantizer; the next key frame refines it.
        if (pending.unchanged && !scaled && !keyFrame && m_lastQuantizerPlusOne > 0)
            input.i_qpplus1 = m_lastQuantizerPlusOne;
        if (observer)
            observer(input.i_qpplus1 > 0 ? std::optional<int>(input.i_qpplus1 - 1) : std::nullopt);
        output(&input, delivery);
    }

    // False when x264 fails.
    bool output(x264_picture_t *input, const std::shared_ptr<Delivery> &delivery)
    {
        x264_nal_t *nals = nullptr;
        int count = 0;
        x264_picture_t encoded;
        x264_picture_init(&encoded);
        const int size = x264_encoder_encode(m_encoder, &nals, &count, input, &encoded);
        if (size < 0)
            return false;
        if (size == 0 || count == 0)
            return true;  // nothing out yet
        // The payloads of one call lie back to back in x264's buffer.
        EncodedFrame frame;
        frame.data = QByteArray(reinterpret_cast<const char *>(nals[0].p_payload), size);
        frame.isKeyFrame = encoded.b_keyframe != 0;
        m_lastQuantizerPlusOne = encoded.i_qpplus1;
        if (frame.isKeyFrame) {
            frame.sps = m_sps;
            frame.pps = m_pps;
        }
        delivery->push(std::move(frame), delivery);
        return true;
    }

    x264_t *m_encoder;
    const int m_width;
    const int m_height;
    QByteArray m_sps;
    QByteArray m_pps;

    // Encoder thread only (after start).
    I420Picture m_scaled;
    int m_lastQuantizerPlusOne = 0;
    int64_t m_nextPts = 0;

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::optional<Pending> m_pending;  // the one-slot queue
    bool m_busy = false;
    bool m_keyFrameRequested = false;
    bool m_stopping = false;
    QuantizerObserver m_observer;
};

RemoteDesktopH264Encoder::RemoteDesktopH264Encoder(int width, int height, int fps, int64_t bitrate)
    : m_width(width)
    , m_height(height)
    , m_bitrate(bitrate)
    , m_delivery(std::make_shared<Delivery>())
    , m_session(Session::open(width, height, fps, bitrate))
{
    if (m_session)
        m_session->start(m_delivery);
}

RemoteDesktopH264Encoder::~RemoteDesktopH264Encoder()
{
    invalidate();
}

bool RemoteDesktopH264Encoder::hasSession() const
{
    return m_session != nullptr;
}

void RemoteDesktopH264Encoder::setOnEncodedFrame(FrameHandler handler)
{
    m_delivery->handler = std::move(handler);
}

void RemoteDesktopH264Encoder::encode(std::shared_ptr<const I420Picture> picture, bool unchanged)
{
    if (m_session && picture && !picture->isNull())
        m_session->hand(std::move(picture), unchanged);
}

void RemoteDesktopH264Encoder::encode(const PixelBuffer &picture)
{
    if (!m_session || !picture.isValid())
        return;
    auto converted = std::make_shared<I420Picture>(picture.width, picture.height);
    converted->convertFrom(reinterpret_cast<const uint8_t *>(picture.data.constData()), picture.bytesPerRow);
    encode(std::move(converted), false);
}

void RemoteDesktopH264Encoder::requestKeyFrame()
{
    if (m_session)
        m_session->requestKeyFrame();
}

void RemoteDesktopH264Encoder::setQuantizerObserver(QuantizerObserver observer)
{
    if (m_session)
        m_session->setQuantizerObserver(std::move(observer));
}

void RemoteDesktopH264Encoder::completeFrames()
{
    if (m_session)
        m_session->complete();
}

void RemoteDesktopH264Encoder::invalidate()
{
    if (m_session) {
        m_session->stop();
        m_session.reset();
    }
    // Held locally: the handler may destroy this encoder.
    const std::shared_ptr<Delivery> delivery = m_delivery;
    if (delivery->open) {
        delivery->drain();
        delivery->open = false;
    }
}

void RemoteDesktopH264Encoder::silence()
{
    m_delivery->open = false;
    m_delivery->handler = nullptr;
}

PixelBuffer RemoteDesktopH264Encoder::makePixelBuffer(const QImage &image, int width, int height)
{
    return PixelBuffer::fromImage(image, width, height);
}

} // namespace trellium
