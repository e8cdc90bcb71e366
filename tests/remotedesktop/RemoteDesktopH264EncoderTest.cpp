#include "remotedesktop/RemoteDesktopH264Encoder.h"

#include "support/H264Decoder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QSemaphore>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <functional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace trellium;
using namespace trellium::test;

namespace {

constexpr int kWaitMs = 60000;
constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

struct Received {
    QByteArray frame;
    bool isKeyFrame = false;
    std::optional<QByteArray> sps;
    std::optional<QByteArray> pps;
    bool onMainThread = false;
};

RemoteDesktopH264Encoder::FrameHandler collectInto(std::vector<Received> &frames)
{
    return [&frames](QByteArray frame, bool isKeyFrame, std::optional<QByteArray> sps, std::optional<QByteArray> pps) {
        frames.push_back({std::move(frame), isKeyFrame, std::move(sps), std::move(pps),
                          QThread::currentThread() == QCoreApplication::instance()->thread()});
    };
}

bool waitForFrames(const std::vector<Received> &frames, size_t count)
{
    return QTest::qWaitFor([&]() { return frames.size() >= count; }, kWaitMs);
}

// Exactly one intact picture per frame: the stream never holds frames back.
std::optional<H264Picture> decodeOne(H264Decoder &decoder, const Received &received)
{
    const QByteArray annexB = h264AnnexB(received.frame, received.sps, received.pps);
    if (annexB.isEmpty()) {
        ADD_FAILURE() << "length prefixes do not cover the frame";
        return std::nullopt;
    }
    auto pictures = decoder.decode(annexB);
    if (!pictures || pictures->size() != 1 || pictures->front().corrupt) {
        ADD_FAILURE() << "frame did not decode to one intact picture";
        return std::nullopt;
    }
    return pictures->front();
}

bool colorsClose(const QColor &a, const QColor &b, int tolerance = 40)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

const QColor kBlockColor(220, 40, 40);

QRect movingBlock(int n, QSize size)
{
    return QRect((n * 12) % (size.width() - 160), size.height() / 3, 160, 120);
}

// A desktop-like moving picture: drifting gradient, scrolling lines of text, a block moving across.
QImage movingPicture(int n, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, size.width(), size.height());
    gradient.setColorAt(0, QColor::fromHsv((n * 2) % 360, 180, 230));
    gradient.setColorAt(1, QColor::fromHsv((n * 2 + 180) % 360, 180, 80));
    painter.fillRect(image.rect(), gradient);
    QFont font = painter.font();
    font.setPixelSize(16);
    painter.setFont(font);
    for (int line = 0; line * 20 < size.height(); ++line) {
        painter.setPen(line % 2 ? Qt::white : Qt::black);
        painter.drawText(10 + (n * 3 + line * 37) % 200, line * 20 + 16,
                         QStringLiteral("Zeile %1 · Bild %2 · %3").arg(line).arg(n).arg(quint64(n) * 7919 + line * 104729));
    }
    painter.fillRect(movingBlock(n, size), kBlockColor);
    return image;
}

// The index as ten black or white stripes: robust to coding, readable back after decoding.
constexpr int kIndexBits = 10;

QImage indexPicture(int index, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    const int stripe = size.width() / kIndexBits;
    for (int bit = 0; bit < kIndexBits; ++bit)
        painter.fillRect(bit * stripe, 0, stripe, size.height(), (index >> bit) & 1 ? Qt::white : Qt::black);
    return image;
}

int readIndex(const H264Picture &picture)
{
    const int stripe = picture.width / kIndexBits;
    int index = 0;
    for (int bit = 0; bit < kIndexBits; ++bit) {
        if (picture.luma(bit * stripe + stripe / 2, picture.height / 2) > 128)
            index |= 1 << bit;
    }
    return index;
}

QImage quadrantPicture(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    const int w = size.width() / 2, h = size.height() / 2;
    painter.fillRect(0, 0, w, h, Qt::red);
    painter.fillRect(w, 0, size.width() - w, h, Qt::green);
    painter.fillRect(0, h, w, size.height() - h, Qt::blue);
    painter.fillRect(w, h, size.width() - w, size.height() - h, Qt::white);
    return image;
}

PixelBuffer unscaled(const QImage &image)
{
    return RemoteDesktopH264Encoder::makePixelBuffer(image, image.width(), image.height());
}

} // namespace

TEST(RemoteDesktopH264Encoder, StreamDecodesAsMainProfileWithoutReorderingAtTheTargetBitrate)
{
    constexpr int kFrames = 300;
    constexpr int kFps = 30;
    constexpr int64_t kBitrate = 4'000'000;
    const QSize size(1200, 840);
    RemoteDesktopH264Encoder encoder(size.width(), size.height(), kFps, kBitrate);
    ASSERT_TRUE(encoder.hasSession());
    std::vector<Received> frames;
    encoder.setOnEncodedFrame(collectInto(frames));

    for (int n = 0; n < kFrames; ++n) {
        encoder.encode(RemoteDesktopH264Encoder::makePixelBuffer(movingPicture(n, size), size.width(), size.height()));
        encoder.completeFrames();
    }
    ASSERT_TRUE(waitForFrames(frames, kFrames));
    ASSERT_EQ(frames.size(), size_t(kFrames));
    ASSERT_TRUE(frames.front().isKeyFrame);
    ASSERT_TRUE(frames.front().sps && frames.front().pps);
    EXPECT_EQ(uchar(frames.front().sps->at(0)) & 0x1f, kNalSps);
    EXPECT_EQ(uchar(frames.front().pps->at(0)) & 0x1f, kNalPps);

    H264Decoder decoder;
    ASSERT_TRUE(decoder.isOpen());
    int sinceKeyFrame = 0;
    int keyFrames = 0;
    qint64 bytes = 0;
    for (int n = 0; n < kFrames; ++n) {
        SCOPED_TRACE(n);
        const Received &received = frames[size_t(n)];
        const auto types = h264NalTypes(received.frame);
        ASSERT_TRUE(types);
        EXPECT_EQ(received.isKeyFrame, types->contains(kNalIdr));
        EXPECT_FALSE(types->contains(kNalSps) || types->contains(kNalPps));
        if (received.isKeyFrame) {
            ++keyFrames;
            sinceKeyFrame = 0;
            EXPECT_EQ(received.sps, frames.front().sps);
            EXPECT_EQ(received.pps, frames.front().pps);
        } else {
            ++sinceKeyFrame;
            EXPECT_FALSE(received.sps || received.pps);
        }
        EXPECT_LT(sinceKeyFrame, kFps);
        bytes += received.frame.size() + received.sps.value_or(QByteArray()).size()
            + received.pps.value_or(QByteArray()).size();

        const auto picture = decodeOne(decoder, received);
        ASSERT_TRUE(picture);
        EXPECT_EQ(QSize(picture->width, picture->height), size);
        EXPECT_NE(picture->type, 'B');
        EXPECT_EQ(picture->keyFrame, received.isKeyFrame);
        const QColor block = picture->colorAt(movingBlock(n, size).center().x(), movingBlock(n, size).center().y());
        EXPECT_TRUE(colorsClose(block, kBlockColor)) << qPrintable(block.name());
    }
    EXPECT_EQ(decoder.profile(), FF_PROFILE_H264_MAIN);
    EXPECT_EQ(decoder.hasBFrames(), 0);
    EXPECT_GE(keyFrames, kFrames / kFps);

    const double seconds = double(kFrames) / kFps;
    const double bitrate = double(bytes) * 8 / seconds;
    EXPECT_NEAR(bitrate, double(kBitrate), 0.15 * double(kBitrate));
}

TEST(RemoteDesktopH264Encoder, FramesFollowThePicturesKeyFramesTheRequestAndPicturesOfOtherSizesFillTheStream)
{
    constexpr int kCompleted = 20;
    constexpr int kPictures = 60;
    const QSize size(640, 480);
    std::vector<PixelBuffer> pictures;
    for (int index = 0; index < kPictures; ++index)
        pictures.push_back(unscaled(indexPicture(index, size)));
    RemoteDesktopH264Encoder encoder(size.width(), size.height(), 30, 2'000'000);
    ASSERT_TRUE(encoder.hasSession());
    std::vector<Received> frames;
    encoder.setOnEncodedFrame(collectInto(frames));
    const auto encode = [&](const PixelBuffer &picture) {
        encoder.encode(picture);
        encoder.completeFrames();
    };
    for (int n = 0; n < 5; ++n)
        encode(unscaled(movingPicture(n, size)));
    ASSERT_TRUE(waitForFrames(frames, 5));
    ASSERT_FALSE(frames[4].isKeyFrame) << "a regular frame is needed before the request";

    // A requested key frame is the next frame only.
    encoder.requestKeyFrame();
    encode(unscaled(movingPicture(5, size)));
    encode(unscaled(movingPicture(6, size)));
    // Pictures smaller with another aspect ratio, then larger, fill the stream.
    encode(unscaled(quadrantPicture(QSize(320, 200))));
    encode(unscaled(quadrantPicture(QSize(1000, 700))));
    ASSERT_TRUE(waitForFrames(frames, 9));
    EXPECT_TRUE(frames[5].isKeyFrame);
    EXPECT_TRUE(frames[5].sps && frames[5].pps);
    EXPECT_TRUE(h264NalTypes(frames[5].frame).value_or(QList<int>()).contains(kNalIdr));
    EXPECT_FALSE(frames[6].isKeyFrame);
    H264Decoder decoder;
    for (size_t i = 0; i < 9; ++i) {
        SCOPED_TRACE(i);
        const auto picture = decodeOne(decoder, frames[i]);
        ASSERT_TRUE(picture);
        ASSERT_EQ(QSize(picture->width, picture->height), size);
        if (i == 5)
            EXPECT_EQ(picture->type, 'I');
        if (i >= 7) {
            // Quadrant centres: the whole picture fills it, colours in the right channels.
            EXPECT_TRUE(colorsClose(picture->colorAt(160, 120), Qt::red));
            EXPECT_TRUE(colorsClose(picture->colorAt(480, 120), Qt::green));
            EXPECT_TRUE(colorsClose(picture->colorAt(160, 360), Qt::blue));
            EXPECT_TRUE(colorsClose(picture->colorAt(480, 360), Qt::white));
        }
    }

    // Each picture completed before the next: every one becomes a frame.
    for (int index = 0; index < kCompleted; ++index)
        encode(pictures[size_t(index)]);
    // Back to back: pictures still waiting may be replaced, the newest never.
    for (int index = kCompleted; index < kPictures; ++index)
        encoder.encode(pictures[size_t(index)]);
    encoder.completeFrames();
    std::vector<int> indices;
    const auto decodeArrived = [&]() {
        while (9 + indices.size() < frames.size()) {
            const Received &received = frames[9 + indices.size()];
            EXPECT_TRUE(received.onMainThread);
            const auto picture = decodeOne(decoder, received);
            indices.push_back(picture ? readIndex(*picture) : -1);
        }
        return !indices.empty() && indices.back() == kPictures - 1;
    };
    ASSERT_TRUE(QTest::qWaitFor(decodeArrived, kWaitMs));
    ASSERT_GE(indices.size(), size_t(kCompleted));
    for (int index = 0; index < kCompleted; ++index)
        EXPECT_EQ(indices[size_t(index)], index);
    EXPECT_LE(indices.size(), size_t(kPictures));
    EXPECT_EQ(std::adjacent_find(indices.begin(), indices.end(), std::greater_equal<int>()), indices.end())
        << "frames must follow the pictures' order without repeats";

    // Invalidated with a picture in flight: that one is still handed over,
    // then nothing more.
    const size_t before = frames.size();
    encoder.encode(pictures[0]);
    encoder.invalidate();
    ASSERT_EQ(frames.size(), before + 1);
    EXPECT_TRUE(frames.back().onMainThread);
    EXPECT_FALSE(encoder.hasSession());
    EXPECT_TRUE(decodeOne(decoder, frames.back()));
    encoder.requestKeyFrame();
    encode(pictures[1]);
    encoder.invalidate();
    EXPECT_EQ(frames.size(), before + 1);
    // Room for any stray queued delivery to run.
    QTest::qWait(200);
    EXPECT_EQ(frames.size(), before + 1);

    // Destroyed with pictures in flight: the newest is encoded before it
    // goes, and nothing is delivered afterwards. Its frames are kept apart
    // from the invalidated encoder's, which stays silent meanwhile.
    std::vector<Received> destroyedFrames;
    auto destroyed = std::make_unique<RemoteDesktopH264Encoder>(size.width(), size.height(), 30, 2'000'000);
    destroyed->setOnEncodedFrame(collectInto(destroyedFrames));
    for (int index = 5; index < 10; ++index)
        destroyed->encode(pictures[size_t(index)]);
    destroyed.reset();
    const size_t delivered = destroyedFrames.size();
    QTest::qWait(200);
    EXPECT_EQ(destroyedFrames.size(), delivered);
    EXPECT_EQ(frames.size(), before + 1);
    ASSERT_GE(delivered, 1u);
    H264Decoder destroyedDecoder;
    std::optional<H264Picture> newest;
    for (const Received &received : destroyedFrames) {
        EXPECT_TRUE(received.onMainThread);
        newest = decodeOne(destroyedDecoder, received);
        ASSERT_TRUE(newest);
    }
    EXPECT_EQ(readIndex(*newest), 9);
}

TEST(RemoteDesktopH264Encoder, SettingsX264RefusesLeaveAnEncoderWithoutOutput)
{
    struct Settings {
        int width, height, fps;
        int64_t bitrate;
    };
    // Odd width (4:2:0 needs even sides), no size, no frame rate, a bitrate below 1 kbit/s.
    const std::vector<Settings> refused = {{641, 480, 30, 2'000'000}, {0, 0, 30, 2'000'000},
                                           {640, 480, 0, 2'000'000}, {640, 480, 30, 999}};
    for (const Settings &settings : refused) {
        SCOPED_TRACE(settings.width);
        RemoteDesktopH264Encoder encoder(settings.width, settings.height, settings.fps, settings.bitrate);
        EXPECT_FALSE(encoder.hasSession());
        std::vector<Received> frames;
        encoder.setOnEncodedFrame(collectInto(frames));
        encoder.encode(unscaled(indexPicture(1, QSize(640, 480))));
        encoder.requestKeyFrame();
        encoder.completeFrames();
        QCoreApplication::processEvents();
        encoder.invalidate();
        EXPECT_TRUE(frames.empty());
    }
}

TEST(RemoteDesktopH264Encoder, AStillPictureCostsNextToNothingAndTheNextChangeShows)
{
    // Outlive the encoder: its thread writes them.
    std::vector<std::optional<int>> forced;
    QSemaphore held;
    QSemaphore go;
    const QSize size(640, 480);
    RemoteDesktopH264Encoder encoder(size.width(), size.height(), 30, 4'000'000);
    ASSERT_TRUE(encoder.hasSession());
    std::vector<Received> frames;
    encoder.setOnEncodedFrame(collectInto(frames));
    const auto toI420 = [](const QImage &image) {
        auto picture = std::make_shared<I420Picture>(image.width(), image.height());
        picture->convertFrom(image.constBits(), int(image.bytesPerLine()));
        return std::shared_ptr<const I420Picture>(picture);
    };

    // Text on a screen that then stays as it is: without a hold on the
    // quantizer, x264 spends the spare bitrate coding it again and again.
    QImage screen = movingPicture(1, size);
    const auto still = toI420(screen);
    encoder.encode(still, false);
    encoder.completeFrames();
    for (int i = 0; i < 20; ++i) {
        encoder.encode(still, true);
        encoder.completeFrames();
    }
    // With the encoder thread held at a still picture, a change and then a
    // still picture that replaces it before the encoder took it: the change
    // still counts. A key frame asked for in a still run is rate-controlled.
    encoder.setQuantizerObserver([&](std::optional<int> quantizer) {
        forced.push_back(quantizer);
        if (forced.size() == 1) {
            held.release();
            go.tryAcquire(1, kWaitMs);
        }
    });
    encoder.encode(still, true);
    ASSERT_TRUE(held.tryAcquire(1, kWaitMs));
    QPainter(&screen).fillRect(QRect(400, 40, 160, 120), Qt::white);
    const auto changed = toI420(screen);
    encoder.encode(changed, false);
    encoder.encode(changed, true);
    go.release();
    encoder.completeFrames();
    encoder.encode(changed, true);
    encoder.completeFrames();
    encoder.requestKeyFrame();
    encoder.encode(changed, true);
    encoder.completeFrames();
    ASSERT_TRUE(waitForFrames(frames, 25));
    ASSERT_EQ(forced.size(), 4u);
    EXPECT_TRUE(forced[0] && forced[2]);  // still pictures keep the quantizer
    EXPECT_FALSE(forced[1]);
    EXPECT_FALSE(forced[3]);
    EXPECT_TRUE(frames.back().isKeyFrame);

    H264Decoder decoder;
    std::optional<H264Picture> last;
    for (const Received &received : frames) {
        last = decodeOne(decoder, received);
        ASSERT_TRUE(last);
    }
    // The median: x264's slice threads share its rate control, so under load
    // a single frame may come out larger.
    std::vector<qsizetype> stills;
    for (size_t i = 2; i < 21; ++i)
        stills.push_back(frames[i].frame.size());
    std::sort(stills.begin(), stills.end());
    EXPECT_LT(stills[stills.size() / 2], 1000);
    EXPECT_GT(last->luma(480, 100), 200);
}
