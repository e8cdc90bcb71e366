#include "support/H264Decoder.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace trellium::test {

namespace {

const QByteArray kStartCode("\x00\x00\x00\x01", 4);

template<typename F>
bool forEachNal(const QByteArray &frame, F visit)
{
    qsizetype offset = 0;
    while (offset < frame.size()) {
        if (frame.size() - offset < 4)
            return false;
        const quint32 length = qFromBigEndian<quint32>(frame.constData() + offset);
        offset += 4;
        if (length == 0 || length > quint64(frame.size() - offset))
            return false;
        visit(frame.mid(offset, qsizetype(length)));
        offset += qsizetype(length);
    }
    return !frame.isEmpty();
}

} // namespace

std::optional<QList<int>> h264NalTypes(const QByteArray &frame)
{
    QList<int> types;
    if (!forEachNal(frame, [&](const QByteArray &unit) { types.append(uchar(unit.at(0)) & 0x1f); }))
        return std::nullopt;
    return types;
}

QByteArray h264AnnexB(const QByteArray &frame, const std::optional<QByteArray> &sps,
                      const std::optional<QByteArray> &pps)
{
    QByteArray out;
    if (sps)
        out += kStartCode + *sps;
    if (pps)
        out += kStartCode + *pps;
    if (!forEachNal(frame, [&](const QByteArray &unit) { out += kStartCode + unit; }))
        return {};
    return out;
}

int H264Picture::luma(int px, int py) const
{
    return uchar(y.at(qsizetype(py) * strideY + px));
}

QColor H264Picture::colorAt(int px, int py) const
{
    double sumY = 0, sumU = 0, sumV = 0;
    int count = 0;
    for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
            const int x = std::clamp(px + dx, 0, width - 1);
            const int yy = std::clamp(py + dy, 0, height - 1);
            sumY += luma(x, yy);
            sumU += uchar(u.at(qsizetype(yy / 2) * strideU + x / 2));
            sumV += uchar(v.at(qsizetype(yy / 2) * strideV + x / 2));
            ++count;
        }
    }
    const double c = sumY / count - 16, d = sumU / count - 128, e = sumV / count - 128;
    auto channel = [](double value) { return std::clamp(int(value + 0.5), 0, 255); };
    return QColor(channel(1.164 * c + 1.596 * e), channel(1.164 * c - 0.392 * d - 0.813 * e),
                  channel(1.164 * c + 2.017 * d));
}

struct H264Decoder::Context {
    AVCodecContext *codec = nullptr;
    AVPacket *packet = nullptr;
    AVFrame *frame = nullptr;
};

H264Decoder::H264Decoder() : m_context(std::make_unique<Context>())
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec)
        return;
    AVCodecContext *context = avcodec_alloc_context3(codec);
    if (!context)
        return;
    context->thread_count = 1;
    context->err_recognition |= AV_EF_EXPLODE;
    if (avcodec_open2(context, codec, nullptr) < 0) {
        avcodec_free_context(&context);
        return;
    }
    m_context->codec = context;
    m_context->packet = av_packet_alloc();
    m_context->frame = av_frame_alloc();
}

H264Decoder::~H264Decoder()
{
    av_frame_free(&m_context->frame);
    av_packet_free(&m_context->packet);
    avcodec_free_context(&m_context->codec);
}

bool H264Decoder::isOpen() const
{
    return m_context->codec && m_context->packet && m_context->frame;
}

std::optional<QList<H264Picture>> H264Decoder::decode(const QByteArray &annexB)
{
    if (!isOpen() || annexB.isEmpty())
        return std::nullopt;
    AVPacket *packet = m_context->packet;
    if (av_new_packet(packet, int(annexB.size())) < 0)
        return std::nullopt;
    memcpy(packet->data, annexB.constData(), size_t(annexB.size()));
    const int sent = avcodec_send_packet(m_context->codec, packet);
    av_packet_unref(packet);
    if (sent < 0)
        return std::nullopt;

    QList<H264Picture> pictures;
    AVFrame *frame = m_context->frame;
    while (avcodec_receive_frame(m_context->codec, frame) == 0) {
        H264Picture picture;
        picture.width = frame->width;
        picture.height = frame->height;
        picture.keyFrame = frame->key_frame != 0;
        picture.corrupt = (frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags != 0;
        picture.type = av_get_picture_type_char(frame->pict_type);
        picture.strideY = frame->linesize[0];
        picture.strideU = frame->linesize[1];
        picture.strideV = frame->linesize[2];
        const int chromaHeight = (frame->height + 1) / 2;
        picture.y = QByteArray(reinterpret_cast<const char *>(frame->data[0]), qsizetype(frame->linesize[0]) * frame->height);
        picture.u = QByteArray(reinterpret_cast<const char *>(frame->data[1]), qsizetype(frame->linesize[1]) * chromaHeight);
        picture.v = QByteArray(reinterpret_cast<const char *>(frame->data[2]), qsizetype(frame->linesize[2]) * chromaHeight);
        pictures.append(std::move(picture));
        av_frame_unref(frame);
    }
    return pictures;
}

int H264Decoder::profile() const
{
    return isOpen() ? m_context->codec->profile : -1;
}

int H264Decoder::level() const
{
    return isOpen() ? m_context->codec->level : -1;
}

int H264Decoder::hasBFrames() const
{
    return isOpen() ? m_context->codec->has_b_frames : -1;
}

} // namespace trellium::test
