#include "platform/webrtc/GstWebRtcPeerConnection.h"

#include "core/Errors.h"
#include "core/Log.h"

// GLib names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>
#include <nice/agent.h>
#include <nice/interfaces.h>
#pragma pop_macro("signals")

#include <QHash>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <cstring>
#include <mutex>

namespace trellium {

// What GStreamer's threads share with the connection. They reach the main
// thread only through post(), and only until the connection closes.
struct GstWebRtcPeerConnection::Bridge {
    std::mutex mutex;
    GstWebRtcPeerConnection *owner = nullptr;
    std::atomic<int> pendingMessages{0};
    std::atomic<bool> droppingMessages{false};
    // Resolved once the first picture's caps reached webrtcbin.
    Completion<void> caps;

    bool post(std::function<void(GstWebRtcPeerConnection &)> work)
    {
        std::lock_guard lock(mutex);
        if (!owner)
            return false;
        GstWebRtcPeerConnection *target = owner;
        // Queued on the owner: dropped by Qt when the owner is deleted first.
        QMetaObject::invokeMethod(
            target, [target, work = std::move(work)]() { work(*target); }, Qt::QueuedConnection);
        return true;
    }
};

namespace {

using BridgePtr = std::shared_ptr<GstWebRtcPeerConnection::Bridge>;
using Reply = std::shared_ptr<GstStructure>;

const QString kDomain = QStringLiteral("WebRTC");
constexpr std::chrono::seconds kOperationTimeout{15};

void ensureGStreamer()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gst_init(nullptr, nullptr);
        if (qEnvironmentVariableIsEmpty("GST_DEBUG")) {
            gst_debug_set_default_threshold(GST_LEVEL_WARNING);
            // Warns for every packet until the connection is up.
            gst_debug_set_threshold_for_name("rtpsession", GST_LEVEL_ERROR);
        }
    });
}

GstWebRtcPeerConnection::Bridge &bridgeOf(gpointer data)
{
    return **static_cast<BridgePtr *>(data);
}

// The signal's closure keeps the bridge alive for as long as GStreamer may
// still call it, even after the connection is gone.
void connectBridged(gpointer instance, const char *signal, GCallback callback, const BridgePtr &bridge)
{
    g_signal_connect_data(instance, signal, callback, new BridgePtr(bridge),
                          [](gpointer data, GClosure *) { delete static_cast<BridgePtr *>(data); }, GConnectFlags(0));
}

void onPromiseChanged(GstPromise *promise, gpointer data)
{
    auto &completion = *static_cast<Completion<Reply> *>(data);
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        completion.fail(DomainError(kDomain, 3, QStringLiteral("WebRTC-Vorgang abgebrochen.")));
        return;
    }
    const GstStructure *reply = gst_promise_get_reply(promise);
    if (reply && gst_structure_has_field(reply, "error")) {
        GError *error = nullptr;
        gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr);
        const QString message = error ? QString::fromUtf8(error->message) : QStringLiteral("unbekannt");
        g_clear_error(&error);
        completion.fail(DomainError(kDomain, 3, QStringLiteral("WebRTC-Fehler: %1").arg(message)));
        return;
    }
    completion.resolve(reply ? Reply(gst_structure_copy(reply), gst_structure_free) : Reply());
}

// A promise whose reply (or error) resolves the completion on the main thread.
GstPromise *promiseFor(const Completion<Reply> &completion)
{
    return gst_promise_new_with_change_func(onPromiseChanged, new Completion<Reply>(completion),
                                            [](gpointer data) { delete static_cast<Completion<Reply> *>(data); });
}

// Waits for the completion, failing it when nothing came in time: a
// webrtcbin that shuts down may never reply.
template<typename T>
QCoro::Task<T> within(Completion<T> completion, std::chrono::milliseconds timeout, QString what)
{
    QTimer::singleShot(timeout, [completion, what]() mutable { completion.fail(TimeoutError(what)); });
    co_return co_await completion;
}

GstWebRTCSessionDescription *parseDescription(const QString &sdp, GstWebRTCSDPType type)
{
    GstSDPMessage *message = nullptr;
    if (gst_sdp_message_new_from_text(sdp.toUtf8().constData(), &message) != GST_SDP_OK || !message)
        throw DomainError(kDomain, 2, QStringLiteral("Die Sitzungsbeschreibung ist kein gültiges SDP."));
    if (gst_sdp_message_medias_len(message) == 0) {
        gst_sdp_message_free(message);
        throw DomainError(kDomain, 2, QStringLiteral("Die Sitzungsbeschreibung ist kein gültiges SDP."));
    }
    return gst_webrtc_session_description_new(type, message);
}

} // namespace

// webrtcbin's signals, on its threads: each takes what it needs and hops.
struct GstWebRtcCallbacks {
    using Bridge = GstWebRtcPeerConnection::Bridge;

    static void onIceCandidate(GstElement *, guint mlineIndex, gchar *candidate, gpointer data)
    {
        const QString text = QString::fromUtf8(candidate ? candidate : "");
        bridgeOf(data).post([mlineIndex, text](GstWebRtcPeerConnection &owner) {
            owner.deliverLocalCandidate(mlineIndex, text);
        });
    }

    static void onIceStateChanged(GstElement *webrtc, GParamSpec *, gpointer data)
    {
        GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
        g_object_get(webrtc, "ice-connection-state", &state, nullptr);
        bridgeOf(data).post([state](GstWebRtcPeerConnection &owner) {
            if (!owner.m_closed && owner.m_callbacks.onIceConnectionStateChanged)
                owner.m_callbacks.onIceConnectionStateChanged(int(state));
        });
    }

    static void onDataChannel(GstElement *, GstWebRTCDataChannel *channel, gpointer data)
    {
        const BridgePtr &bridge = *static_cast<BridgePtr *>(data);
        connectBridged(channel, "on-message-string", G_CALLBACK(onMessageString), bridge);
        connectBridged(channel, "on-message-data", G_CALLBACK(onMessageData), bridge);
        g_object_ref(channel);
        const bool posted = bridge->post([channel](GstWebRtcPeerConnection &owner) { owner.adoptDataChannel(channel); });
        if (!posted)
            g_object_unref(channel);
    }

    static void onMessageString(GstWebRTCDataChannel *, gchar *text, gpointer data)
    {
        deliverMessage(bridgeOf(data), QByteArray(text ? text : ""), true);
    }

    static void onMessageData(GstWebRTCDataChannel *, GBytes *bytes, gpointer data)
    {
        gsize size = 0;
        const auto *raw = static_cast<const char *>(bytes ? g_bytes_get_data(bytes, &size) : nullptr);
        deliverMessage(bridgeOf(data), QByteArray(raw, qsizetype(size)), false);
    }

    static void deliverMessage(Bridge &bridge, QByteArray bytes, bool isText)
    {
        if (bridge.pendingMessages.fetch_add(1) >= GstWebRtcPeerConnection::kMaximumPendingMessages) {
            bridge.pendingMessages.fetch_sub(1);
            if (!bridge.droppingMessages.exchange(true))
                logLine(QStringLiteral("WEBRTC data channel messages dropped: main thread behind"));
            return;
        }
        Bridge *target = &bridge;  // lives as long as its owner
        const bool posted = bridge.post([target, bytes, isText](GstWebRtcPeerConnection &owner) {
            target->pendingMessages.fetch_sub(1);
            target->droppingMessages = false;
            if (!owner.m_closed && owner.m_callbacks.onDataChannelMessage)
                owner.m_callbacks.onDataChannelMessage(bytes, isText);
        });
        if (!posted)
            bridge.pendingMessages.fetch_sub(1);
    }

    static GstPadProbeReturn onSinkEvent(GstPad *, GstPadProbeInfo *info, gpointer data)
    {
        GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
        if (!event || GST_EVENT_TYPE(event) != GST_EVENT_CAPS)
            return GST_PAD_PROBE_OK;
        bridgeOf(data).caps.resolve();
        return GST_PAD_PROBE_REMOVE;
    }

    static GstBusSyncReply onBusMessage(GstBus *, GstMessage *message, gpointer)
    {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError *error = nullptr;
            gchar *debug = nullptr;
            gst_message_parse_error(message, &error, &debug);
            logLine(QStringLiteral("WEBRTC pipeline error:"),
                    QStringLiteral("%1: %2").arg(QString::fromUtf8(GST_OBJECT_NAME(GST_MESSAGE_SRC(message))),
                                                 QString::fromUtf8(error ? error->message : "")));
            g_clear_error(&error);
            g_free(debug);
        }
        return GST_BUS_DROP;
    }
};

GstWebRtcPeerConnection::GstWebRtcPeerConnection(const WebRtcEngine::Configuration &configuration,
                                                 const WebRtcVideoSettings &video, Callbacks callbacks)
    : m_callbacks(std::move(callbacks)), m_video(video), m_bridge(std::make_shared<Bridge>())
{
    ensureGStreamer();
    for (const char *factory : {"appsrc", "videoconvert", "queue", "x264enc", "capsfilter", "rtph264pay",
                                "webrtcbin", "nicesrc", "nicesink", "dtlssrtpenc", "srtpenc", "sctpenc"}) {
        GstElementFactory *found = gst_element_factory_find(factory);
        if (!found)
            throw DomainError(kDomain, 1, QStringLiteral("GStreamer-Element „%1“ fehlt.").arg(QString::fromLatin1(factory)));
        gst_object_unref(found);
    }

    m_pipeline = gst_pipeline_new(nullptr);
    m_webrtc = gst_element_factory_make("webrtcbin", nullptr);
    gst_bin_add(GST_BIN(m_pipeline), m_webrtc);
    gst_util_set_object_arg(G_OBJECT(m_webrtc), "bundle-policy", "max-bundle");
    if (!configuration.stunServer.isEmpty())
        g_object_set(m_webrtc, "stun-server", ("stun://" + configuration.stunServer).toUtf8().constData(), nullptr);

    // libnice gathers no loopback candidates by itself, and once one address
    // is given it uses only those: the host's own addresses plus 127.0.0.1,
    // so a peer on the same machine connects too.
    GstObject *ice = nullptr;
    g_object_get(m_webrtc, "ice-agent", &ice, nullptr);
    if (ice && g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) {
        NiceAgent *agent = nullptr;
        g_object_get(ice, "agent", &agent, nullptr);
        if (agent) {
            GList *addresses = nice_interfaces_get_local_ips(FALSE);
            addresses = g_list_append(addresses, g_strdup("127.0.0.1"));
            for (GList *item = addresses; item; item = item->next) {
                NiceAddress address;
                nice_address_init(&address);
                if (nice_address_set_from_string(&address, static_cast<const char *>(item->data)))
                    nice_agent_add_local_address(agent, &address);
            }
            g_list_free_full(addresses, g_free);
            g_object_unref(agent);
        }
    }
    if (ice)
        gst_object_unref(ice);

    {
        std::lock_guard lock(m_bridge->mutex);
        m_bridge->owner = this;
    }
    connectBridged(m_webrtc, "on-ice-candidate", G_CALLBACK(GstWebRtcCallbacks::onIceCandidate), m_bridge);
    connectBridged(m_webrtc, "notify::ice-connection-state", G_CALLBACK(GstWebRtcCallbacks::onIceStateChanged),
                   m_bridge);
    connectBridged(m_webrtc, "on-data-channel", G_CALLBACK(GstWebRtcCallbacks::onDataChannel), m_bridge);
    GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(m_pipeline));
    gst_bus_set_sync_handler(bus, GstWebRtcCallbacks::onBusMessage, nullptr, nullptr);
    gst_object_unref(bus);
}

GstWebRtcPeerConnection::~GstWebRtcPeerConnection()
{
    close();
}

void GstWebRtcPeerConnection::buildVideoBranch(int payloadType)
{
    GstElement *source = gst_element_factory_make("appsrc", nullptr);
    GstElement *convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement *queue = gst_element_factory_make("queue", nullptr);
    GstElement *encoder = gst_element_factory_make("x264enc", nullptr);
    GstElement *profile = gst_element_factory_make("capsfilter", nullptr);
    GstElement *payloader = gst_element_factory_make("rtph264pay", nullptr);
    GstElement *rtpCaps = gst_element_factory_make("capsfilter", nullptr);

    GstCaps *rawCaps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT,
                                           m_video.width, "height", G_TYPE_INT, m_video.height, "framerate",
                                           GST_TYPE_FRACTION, m_video.fps, 1, nullptr);
    // Pictures are time-stamped as they arrive; a stalled consumer loses the
    // oldest ones instead of queueing them.
    g_object_set(source, "caps", rawCaps, "is-live", TRUE, "do-timestamp", TRUE, "format", GST_FORMAT_TIME,
                 "max-buffers", guint64(2), "block", FALSE, nullptr);
    gst_util_set_object_arg(G_OBJECT(source), "leaky-type", "downstream");
    gst_caps_unref(rawCaps);

    g_object_set(queue, "max-size-buffers", 1u, "max-size-bytes", 0u, "max-size-time", guint64(0), nullptr);
    gst_util_set_object_arg(G_OBJECT(queue), "leaky", "downstream");

    // One thread: sliced frames break the parameter sets' insertion.
    const guint kbps = guint(std::clamp<int64_t>(m_video.bitrate / 1000, 100, 2'000'000));
    g_object_set(encoder, "threads", 1u, "bitrate", kbps, "key-int-max", guint(std::max(1, m_video.fps)), "bframes",
                 0u, nullptr);
    gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
    gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "superfast");

    GstCaps *h264Caps = gst_caps_from_string("video/x-h264,profile=constrained-baseline");
    g_object_set(profile, "caps", h264Caps, nullptr);
    gst_caps_unref(h264Caps);

    g_object_set(payloader, "pt", guint(payloadType), "config-interval", -1, nullptr);
    GstCaps *outCaps = gst_caps_new_simple("application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name",
                                           G_TYPE_STRING, "H264", "payload", G_TYPE_INT, payloadType, "clock-rate",
                                           G_TYPE_INT, 90000, nullptr);
    g_object_set(rtpCaps, "caps", outCaps, nullptr);

    gst_bin_add_many(GST_BIN(m_pipeline), source, convert, queue, encoder, profile, payloader, rtpCaps, nullptr);
    if (!gst_element_link_many(source, convert, queue, encoder, profile, payloader, rtpCaps, nullptr)) {
        gst_caps_unref(outCaps);
        throw DomainError(kDomain, 1, QStringLiteral("Die Videokette konnte nicht verbunden werden."));
    }
    GstPad *sink = gst_element_request_pad_simple(m_webrtc, "sink_%u");
    GstPad *out = gst_element_get_static_pad(rtpCaps, "src");
    const bool linked = sink && gst_pad_link(out, sink) == GST_PAD_LINK_OK;
    gst_object_unref(out);
    if (!linked) {
        if (sink)
            gst_object_unref(sink);
        gst_caps_unref(outCaps);
        throw DomainError(kDomain, 1, QStringLiteral("Die Videokette konnte nicht verbunden werden."));
    }
    gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, GstWebRtcCallbacks::onSinkEvent,
                      new BridgePtr(m_bridge), [](gpointer data) { delete static_cast<BridgePtr *>(data); });

    // The track only sends, and only the offer's H.264 format.
    GstWebRTCRTPTransceiver *transceiver = nullptr;
    g_object_get(sink, "transceiver", &transceiver, nullptr);
    if (transceiver) {
        g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "codec-preferences",
                     outCaps, nullptr);
        gst_object_unref(transceiver);
    }
    gst_caps_unref(outCaps);
    gst_object_unref(sink);
    m_source = source;
}

QCoro::Task<void> GstWebRtcPeerConnection::setRemoteOffer(QString sdp)
{
    if (m_closed)
        throw CancelledError();
    const std::optional<int> payloadType = h264PayloadType(sdp);
    if (!payloadType)
        throw DomainError(kDomain, 2,
                          QStringLiteral("Das Angebot enthält kein H.264-Video mit packetization-mode=1."));
    GstWebRTCSessionDescription *offer = parseDescription(sdp, GST_WEBRTC_SDP_TYPE_OFFER);
    if (!m_source) {
        try {
            buildVideoBranch(*payloadType);
        } catch (...) {
            gst_webrtc_session_description_free(offer);
            throw;
        }
        if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            gst_webrtc_session_description_free(offer);
            throw DomainError(kDomain, 1, QStringLiteral("Die WebRTC-Pipeline konnte nicht gestartet werden."));
        }
        // A first (black) picture brings the caps to webrtcbin, which the
        // answer needs for its ssrc, even while the screen has none yet.
        auto black = std::make_shared<I420Picture>(m_video.width, m_video.height);
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? black->height() : black->chromaHeight();
            std::memset(black->plane(plane), plane == 0 ? 16 : 128, size_t(black->stride(plane)) * size_t(rows));
        }
        pushPicture(std::move(black));
    }

    Completion<Reply> done;
    GstPromise *promise = promiseFor(done);
    g_signal_emit_by_name(m_webrtc, "set-remote-description", offer, promise);
    gst_promise_unref(promise);
    gst_webrtc_session_description_free(offer);
    co_await within(done, kOperationTimeout, QStringLiteral("WebRTC-Angebot"));
}

QCoro::Task<void> GstWebRtcPeerConnection::addRemoteCandidate(QString candidate, std::optional<QString> sdpMid,
                                                              int sdpMLineIndex)
{
    Q_UNUSED(sdpMid);
    if (m_closed || candidate.isEmpty() || sdpMLineIndex < 0)
        co_return;
    if (candidate.startsWith(QLatin1String("a=")))
        candidate = candidate.mid(2);
    g_signal_emit_by_name(m_webrtc, "add-ice-candidate", guint(sdpMLineIndex), candidate.toUtf8().constData());
    co_return;
}

QCoro::Task<std::optional<QString>> GstWebRtcPeerConnection::createAnswer()
{
    if (m_closed)
        throw CancelledError();
    QPointer<GstWebRtcPeerConnection> self(this);
    co_await within(m_bridge->caps, kCapsTimeout, QStringLiteral("erstes Bild der WebRTC-Videospur"));
    if (!self || m_closed)
        throw CancelledError();

    Completion<Reply> done;
    GstPromise *promise = promiseFor(done);
    g_signal_emit_by_name(m_webrtc, "create-answer", nullptr, promise);
    gst_promise_unref(promise);
    const Reply reply = co_await within(done, kOperationTimeout, QStringLiteral("WebRTC-Antwort"));
    GstWebRTCSessionDescription *answer = nullptr;
    if (reply && gst_structure_has_field(reply.get(), "answer"))
        gst_structure_get(reply.get(), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
    if (!answer || !answer->sdp) {
        if (answer)
            gst_webrtc_session_description_free(answer);
        co_return std::nullopt;
    }
    gchar *text = gst_sdp_message_as_text(answer->sdp);
    const QString result = QString::fromUtf8(text);
    g_free(text);
    gst_webrtc_session_description_free(answer);
    co_return result;
}

QCoro::Task<void> GstWebRtcPeerConnection::setLocalAnswer(QString sdp)
{
    if (m_closed)
        throw CancelledError();
    GstWebRTCSessionDescription *answer = parseDescription(sdp, GST_WEBRTC_SDP_TYPE_ANSWER);
    Completion<Reply> done;
    GstPromise *promise = promiseFor(done);
    g_signal_emit_by_name(m_webrtc, "set-local-description", answer, promise);
    gst_promise_unref(promise);
    gst_webrtc_session_description_free(answer);
    co_await within(done, kOperationTimeout, QStringLiteral("WebRTC-Antwort setzen"));
}

void GstWebRtcPeerConnection::pushPicture(std::shared_ptr<const I420Picture> picture)
{
    if (m_closed || !m_source || !picture || picture->width() != m_video.width
        || picture->height() != m_video.height)
        return;
    // The buffer borrows the picture's planes; their layout travels as video meta.
    const uint8_t *base = picture->plane(0);
    gsize offsets[GST_VIDEO_MAX_PLANES] = {};
    gint strides[GST_VIDEO_MAX_PLANES] = {};
    for (int plane = 0; plane < 3; ++plane) {
        offsets[plane] = gsize(picture->plane(plane) - base);
        strides[plane] = picture->stride(plane);
    }
    const gsize size = offsets[2] + gsize(picture->stride(2)) * gsize(picture->chromaHeight());
    auto *holder = new std::shared_ptr<const I420Picture>(std::move(picture));
    GstBuffer *buffer = gst_buffer_new_wrapped_full(
        GST_MEMORY_FLAG_READONLY, const_cast<uint8_t *>(base), size, 0, size, holder,
        [](gpointer data) { delete static_cast<std::shared_ptr<const I420Picture> *>(data); });
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_I420, guint(m_video.width),
                                   guint(m_video.height), 3, offsets, strides);
    gst_app_src_push_buffer(GST_APP_SRC(m_source), buffer);
}

void GstWebRtcPeerConnection::deliverLocalCandidate(unsigned mlineIndex, const QString &candidate)
{
    if (m_closed || !m_callbacks.onLocalCandidate)
        return;
    std::optional<QString> mid;
    GstWebRTCSessionDescription *local = nullptr;
    g_object_get(m_webrtc, "local-description", &local, nullptr);
    if (local) {
        if (local->sdp && mlineIndex < gst_sdp_message_medias_len(local->sdp)) {
            const char *value = gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(local->sdp, mlineIndex), "mid");
            if (value)
                mid = QString::fromUtf8(value);
        }
        gst_webrtc_session_description_free(local);
    }
    m_callbacks.onLocalCandidate(candidate, mid, int(mlineIndex));
}

void GstWebRtcPeerConnection::adoptDataChannel(GstWebRTCDataChannel *channel)
{
    if (m_closed) {
        gst_webrtc_data_channel_close(channel);
        g_object_unref(channel);
        return;
    }
    if (m_channel)
        g_object_unref(m_channel);
    m_channel = channel;
    if (m_callbacks.onDataChannelOpened)
        m_callbacks.onDataChannelOpened();
}

void GstWebRtcPeerConnection::close()
{
    if (m_closed)
        return;
    m_closed = true;
    {
        std::lock_guard lock(m_bridge->mutex);
        m_bridge->owner = nullptr;
    }
    if (m_channel) {
        gst_webrtc_data_channel_close(m_channel);
        g_object_unref(m_channel);
        m_channel = nullptr;
    }
    GstElement *pipeline = std::exchange(m_pipeline, nullptr);
    m_webrtc = nullptr;
    m_source = nullptr;
    if (pipeline) {
        // webrtcbin's shutdown waits for its ICE and DTLS threads: off the main thread.
        QThreadPool::globalInstance()->start([pipeline]() {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);
        });
    }
}

std::optional<int> GstWebRtcPeerConnection::h264PayloadType(const QString &offerSdp)
{
    bool inVideo = false;
    // Each format once, however often the m-line repeats it: the offer
    // comes from the peer, and its formats times its parameters must not
    // cost the main thread more than the offer's length.
    QList<int> order;
    QSet<int> listed;
    QHash<int, bool> isH264;
    QHash<int, QString> parameters;
    std::optional<int> found;
    const auto finishSection = [&]() {
        for (const int type : std::as_const(order)) {
            if (found)
                break;
            if (!isH264.value(type))
                continue;
            const QStringList fields = parameters.value(type).split(QLatin1Char(';'), Qt::SkipEmptyParts);
            for (const QString &field : fields) {
                if (field.trimmed().compare(QLatin1String("packetization-mode=1"), Qt::CaseInsensitive) == 0) {
                    found = type;
                    break;
                }
            }
        }
        order.clear();
        listed.clear();
        isH264.clear();
        parameters.clear();
    };

    const QStringList lines = offerSdp.split(QLatin1Char('\n'));
    for (QString line : lines) {
        line = line.trimmed();
        if (line.startsWith(QLatin1String("m="))) {
            if (inVideo)
                finishSection();
            if (found)
                return found;
            const QStringList words = line.mid(2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            inVideo = !words.isEmpty() && words.first() == QLatin1String("video");
            for (qsizetype i = 3; inVideo && i < words.size(); ++i) {
                bool ok = false;
                const int type = words[i].toInt(&ok);
                if (ok && type >= 0 && type <= 127 && !listed.contains(type)) {
                    listed.insert(type);
                    order << type;
                }
            }
            continue;
        }
        if (!inVideo)
            continue;
        const bool rtpmap = line.startsWith(QLatin1String("a=rtpmap:"));
        const bool fmtp = line.startsWith(QLatin1String("a=fmtp:"));
        if (!rtpmap && !fmtp)
            continue;
        const QString rest = line.mid(rtpmap ? 9 : 7);
        const qsizetype space = rest.indexOf(QLatin1Char(' '));
        if (space <= 0)
            continue;
        bool ok = false;
        const int type = rest.left(space).toInt(&ok);
        if (!ok)
            continue;
        const QString value = rest.mid(space + 1).trimmed();
        if (rtpmap)
            isH264[type] = value.section(QLatin1Char('/'), 0, 0).compare(QLatin1String("H264"), Qt::CaseInsensitive) == 0;
        else
            parameters[type] = value;
    }
    if (inVideo)
        finishSection();
    return found;
}

} // namespace trellium
