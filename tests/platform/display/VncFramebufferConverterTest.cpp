#include "platform/display/VncFramebufferConverter.h"
#include "platform/display/VncFramebufferMirror.h"

#include "support/TestEnvironment.h"
#include "support/VncFakeServer.h"

#include <QPainter>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

QImage screen(int width, int height, const QColor &colour)
{
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(colour);
    QPainter painter(&picture);
    painter.fillRect(width / 3, height / 4, width / 3, height / 2, QColor(240, 240, 240));
    painter.drawText(20, 30, QStringLiteral("Fenster"));
    return picture;
}

// What a converter that starts from nothing makes of the mirror now.
std::shared_ptr<const I420Picture> fresh(const VncFramebufferMirror &mirror, QSize size)
{
    VncFramebufferConverter converter;
    const auto frame = converter.frame(mirror, size.width(), size.height());
    return frame ? frame->picture : nullptr;
}

std::vector<uint8_t> copyOf(const I420Picture &picture)
{
    std::vector<uint8_t> bytes;
    for (int y = 0; y < picture.height(); ++y)
        bytes.insert(bytes.end(), picture.plane(0) + ptrdiff_t(y) * picture.stride(0),
                     picture.plane(0) + ptrdiff_t(y) * picture.stride(0) + picture.width());
    return bytes;
}

class VncFramebufferConverterTest : public test::DataHomeTest {
protected:
    QString socket() { return scratch() + QStringLiteral("/vnc.sock"); }
};

} // namespace

TEST_F(VncFramebufferConverterTest, ConvertsOnlyWhatChangedAndHandsOutThePreviousFrameWhenNothingDid)
{
    const QSize stream(300, 210);
    test::VncFakeServer server(socket(), screen(400, 280, QColor(30, 90, 160)));
    VncFramebufferMirror mirror(server.socketPath());
    ASSERT_TRUE(test::waitUntil([&] { return mirror.hasPicture(); }, 30s));

    VncFramebufferConverter converter;
    const auto first = converter.frame(mirror, stream.width(), stream.height());
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->unchanged);
    EXPECT_EQ(converter.convertedPixels(), 400 * 280);
    EXPECT_TRUE(first->picture->hasSamePixels(*fresh(mirror, stream)));

    // Nothing changed: the same picture, nothing converted.
    const auto still = converter.frame(mirror, stream.width(), stream.height());
    ASSERT_TRUE(still);
    EXPECT_EQ(still->picture, first->picture);
    EXPECT_TRUE(still->unchanged);
    EXPECT_EQ(converter.convertedPixels(), 0);

    // A small change: only its area is converted, and the result is what a
    // full conversion gives.
    QImage changed = screen(400, 280, QColor(30, 90, 160));
    const QRect area(41, 201, 33, 17);
    QPainter(&changed).fillRect(area, QColor(250, 200, 0));
    const uint64_t before = mirror.updateCount();
    server.setPicture(changed);
    ASSERT_TRUE(test::waitUntil([&] { return mirror.updateCount() > before && mirror.image() == changed; }, 30s));
    const std::vector<uint8_t> heldByEncoder = copyOf(*first->picture);
    const auto next = converter.frame(mirror, stream.width(), stream.height());
    ASSERT_TRUE(next);
    EXPECT_GT(converter.convertedPixels(), 0);
    EXPECT_LT(converter.convertedPixels(), 400 * 280 / 10);
    EXPECT_FALSE(next->unchanged);
    EXPECT_TRUE(next->picture->hasSamePixels(*fresh(mirror, stream)));
    // The frame the encoder may still be reading was not written over.
    EXPECT_NE(next->picture, first->picture);
    EXPECT_EQ(copyOf(*first->picture), heldByEncoder);

    // Another stream size starts over, though the mirror did not change.
    const auto resized = converter.frame(mirror, 100, 70);
    ASSERT_TRUE(resized);
    EXPECT_FALSE(resized->unchanged);
    EXPECT_TRUE(resized->picture->hasSamePixels(*fresh(mirror, QSize(100, 70))));
}
