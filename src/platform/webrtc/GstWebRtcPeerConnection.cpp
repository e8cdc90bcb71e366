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

#include <QPointer>
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
    // Resolved once the first picture's caps were taken by webrtcbin.
    Completion<void> caps;
    // What the caps tell webrtcbin of the profile (set before the pipeline plays).
    QByteArray profileLevelId;
    QByteArray capsProfile;
    // The steady clock (ns) when the peer's last packet came in.
    std::atomic<int64_t> lastReceived{0};

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
            // Warns for every picture it drops by design while the encoder is busy.
            gst_debug_set_threshold_for_name("appsrc", GST_LEVEL_ERROR);
        }
    });
}

int64_t steadyNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
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

// Waits for the completion, failing it when nothing came in time or the
// connection closes: a webrtcbin that shuts down may never reply.
template<typename T>
QCoro::Task<T> within(Completion<T> completion, std::chrono::milliseconds timeout, QString what, CancelToken closing)
{
    QTimer::singleShot(timeout, [completion, what]() mutable { completion.fail(TimeoutError(what)); });
    closing.onCancel([completion]() mutable { completion.fail(CancelledError()); });
    co_return co_await completion;
}

// webrtcbin names the track and its stream after itself: the answer gets
// the ids of the settings, as the peer's msid of the sending video section.
void nameVideoTrack(GstSDPMessage *sdp, const WebRtcVideoSettings &video)
{
    if (video.streamID.isEmpty() || video.trackID.isEmpty())
        return;
    const QByteArray msid = (video.streamID + QLatin1Char(' ') + video.trackID).toUtf8();
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        auto *media = const_cast<GstSDPMedia *>(gst_sdp_message_get_media(sdp, i));
        bool sending = false;
        for (guint a = 0; g_strcmp0(gst_sdp_media_get_media(media), "video") == 0
             && a < gst_sdp_media_attributes_len(media); ++a) {
            const GstSDPAttribute *attribute = gst_sdp_media_get_attribute(media, a);
            const QByteArray value(attribute->value ? attribute->value : "");
            const qsizetype at = value.indexOf(" msid:");
            if (g_strcmp0(attribute->key, "ssrc") != 0 || at < 0)
                continue;
            GstSDPAttribute renamed;
            gst_sdp_attribute_set(&renamed, "ssrc", (value.left(at) + " msid:" + msid).constData());
            gst_sdp_media_replace_attribute(media, a, &renamed);
            sending = true;
        }
        if (sending)
            gst_sdp_media_add_attribute(media, "msid", msid.constData());
    }
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
        connectBridged(channel, "on-close", G_CALLBACK(onChannelClosed), bridge);
        g_object_ref(channel);
        const bool posted = bridge->post([channel](GstWebRtcPeerConnection &owner) { owner.adoptDataChannel(channel); });
        if (!posted)
            g_object_unref(channel);
    }

    static void onChannelClosed(GstWebRTCDataChannel *, gpointer data)
    {
        bridgeOf(data).post([](GstWebRtcPeerConnection &owner) { owner.peerGone(QStringLiteral("data channel closed")); });
    }

    // Every packet of the peer (but ICE's own) passes the ICE source first.
    static void onElementAdded(GstBin *, GstBin *, GstElement *element, gpointer data)
    {
        GstElementFactory *factory = gst_element_get_factory(element);
        GstPad *pad = factory && g_strcmp0(GST_OBJECT_NAME(factory), "nicesrc") == 0
            ? gst_element_get_static_pad(element, "src")
            : nullptr;
        if (!pad)
            return;
        gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST), onReceived,
                          new BridgePtr(*static_cast<BridgePtr *>(data)),
                          [](gpointer bridge) { delete static_cast<BridgePtr *>(bridge); });
        gst_object_unref(pad);
    }

    static GstPadProbeReturn onReceived(GstPad *, GstPadProbeInfo *, gpointer data)
    {
        bridgeOf(data).lastReceived = steadyNow();
        return GST_PAD_PROBE_OK;
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

    // webrtcbin answers with the profile the caps name and matches it to
    // the offer's by GStreamer's profile name: the caps carry the offered
    // profile-level-id (none where the offer has none) and its name.
    static GstPadProbeReturn onCapsEvent(GstPad *, GstPadProbeInfo *info, gpointer data)
    {
        GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
        if (!event || GST_EVENT_TYPE(event) != GST_EVENT_CAPS)
            return GST_PAD_PROBE_OK;
        Bridge &bridge = bridgeOf(data);
        GstCaps *caps = nullptr;
        gst_event_parse_caps(event, &caps);
        caps = gst_caps_copy(caps);
        GstStructure *structure = gst_caps_get_structure(caps, 0);
        if (bridge.profileLevelId.isEmpty())
            gst_structure_remove_fields(structure, "profile-level-id", "profile", nullptr);
        else
            gst_structure_set(structure, "profile-level-id", G_TYPE_STRING, bridge.profileLevelId.constData(),
                              "profile", G_TYPE_STRING, bridge.capsProfile.constData(), nullptr);
        GST_PAD_PROBE_INFO_DATA(info) = gst_event_new_caps(caps);
        gst_caps_unref(caps);
        gst_event_unref(event);
        return GST_PAD_PROBE_OK;
    }

    // webrtcbin has taken the caps ahead of the first packet when it comes.
    static GstPadProbeReturn onFirstPacket(GstPad *, GstPadProbeInfo *, gpointer data)
    {
        bridgeOf(data).caps.resolve();
        return GST_PAD_PROBE_REMOVE;
    }

    // A handler that drops a message owns it: kept, it would keep its source
    // (webrtcbin with its ICE agent, sockets and threads) alive for good.
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
        gst_message_unref(message);
        return GST_BUS_DROP;
    }
};

GstWebRtcPeerConnection::GstWebRtcPeerConnection(const WebRtcEngine::Configuration &configuration,
                                                 const WebRtcVideoSettings &video, Callbacks callbacks)
    : m_callbacks(std::move(callbacks)), m_video(video), m_silenceLimit(configuration.silenceLimit),
      m_bridge(std::make_shared<Bridge>())
{
    m_silence.setSingleShot(true);
    connect(&m_silence, &QTimer::timeout, this, &GstWebRtcPeerConnection::checkSilence);
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
    connectBridged(m_pipeline, "deep-element-added", G_CALLBACK(GstWebRtcCallbacks::onElementAdded), m_bridge);
    GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(m_pipeline));
    gst_bus_set_sync_handler(bus, GstWebRtcCallbacks::onBusMessage, nullptr, nullptr);
    gst_object_unref(bus);
}

GstWebRtcPeerConnection::~GstWebRtcPeerConnection()
{
    close();
}

void GstWebRtcPeerConnection::buildVideoBranch(const WebRtcH264Format &format)
{
    const int payloadType = format.payloadType;
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
    const guint kbps = guint(std::clamp<int64_t>(m_video.bitrate / 1000, 16, 2'000'000));
    g_object_set(encoder, "threads", 1u, "bitrate", kbps, "key-int-max", guint(std::max(1, m_video.fps)), "bframes",
                 0u, nullptr);
    gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
    gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "superfast");

    // The profile only: x264 writes into the SPS the level the picture and
    // the rate need, which decoders follow; the answer still names the
    // offered level (onCapsEvent).
    GstCaps *h264Caps = gst_caps_new_simple("video/x-h264", "profile", G_TYPE_STRING, format.encoderProfile(), nullptr);
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
    if (!linked) {
        if (sink)
            gst_object_unref(sink);
        gst_object_unref(out);
        gst_caps_unref(outCaps);
        throw DomainError(kDomain, 1, QStringLiteral("Die Videokette konnte nicht verbunden werden."));
    }
    // A pushed packet passes its pad's probes after its caps went downstream.
    m_bridge->profileLevelId = format.profileLevelId.toLatin1();
    m_bridge->capsProfile = format.capsProfile();
    gst_pad_add_probe(out, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, GstWebRtcCallbacks::onCapsEvent,
                      new BridgePtr(m_bridge), [](gpointer data) { delete static_cast<BridgePtr *>(data); });
    gst_pad_add_probe(out, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      GstWebRtcCallbacks::onFirstPacket, new BridgePtr(m_bridge),
                      [](gpointer data) { delete static_cast<BridgePtr *>(data); });
    gst_object_unref(out);

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
    if (!m_video.format)
        throw DomainError(kDomain, 2,
                          QStringLiteral("Das Angebot enthält kein H.264-Video mit packetization-mode=1 in einem "
                                         "Profil, das der Encoder liefern kann."));
    GstWebRTCSessionDescription *offer = parseDescription(sdp, GST_WEBRTC_SDP_TYPE_OFFER);
    if (!m_source) {
        try {
            buildVideoBranch(*m_video.format);
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
    co_await within(done, kOperationTimeout, QStringLiteral("WebRTC-Angebot"), m_closing);
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
    co_await within(m_bridge->caps, kCapsTimeout, QStringLiteral("erstes Bild der WebRTC-Videospur"), m_closing);
    if (!self || m_closed)
        throw CancelledError();

    Completion<Reply> done;
    GstPromise *promise = promiseFor(done);
    g_signal_emit_by_name(m_webrtc, "create-answer", nullptr, promise);
    gst_promise_unref(promise);
    const Reply reply = co_await within(done, kOperationTimeout, QStringLiteral("WebRTC-Antwort"), m_closing);
    GstWebRTCSessionDescription *answer = nullptr;
    if (reply && gst_structure_has_field(reply.get(), "answer"))
        gst_structure_get(reply.get(), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
    if (!answer || !answer->sdp) {
        if (answer)
            gst_webrtc_session_description_free(answer);
        co_return std::nullopt;
    }
    nameVideoTrack(answer->sdp, m_video);
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
    QPointer<GstWebRtcPeerConnection> self(this);
    co_await within(done, kOperationTimeout, QStringLiteral("WebRTC-Antwort setzen"), m_closing);
    // From now on the peer can talk: it must, or it counts as gone.
    if (self && !m_closed) {
        m_bridge->lastReceived = steadyNow();
        checkSilence();
    }
}

void GstWebRtcPeerConnection::checkSilence()
{
    const std::chrono::nanoseconds quiet(steadyNow() - m_bridge->lastReceived);
    if (quiet < m_silenceLimit) {
        m_silence.start(std::chrono::ceil<std::chrono::milliseconds>(m_silenceLimit - quiet));
        return;
    }
    peerGone(QStringLiteral("nothing received for %1 ms").arg(m_silenceLimit.count()));
}

void GstWebRtcPeerConnection::peerGone(const QString &why)
{
    m_silence.stop();
    if (!m_closed && m_callbacks.onPeerGone)
        m_callbacks.onPeerGone(why);
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
    m_silence.stop();
    m_closing.cancel();
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

} // namespace trellium
