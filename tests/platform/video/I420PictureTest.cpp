#include "platform/video/I420Picture.h"
#include "platform/video/I420PicturePool.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QRandomGenerator>

#include <cmath>

using namespace trellium;

namespace {

I420Picture convert(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    I420Picture picture(rgb.width(), rgb.height());
    picture.convertFrom(rgb.constBits(), int(rgb.bytesPerLine()));
    return picture;
}

I420Picture scaled(const I420Picture &picture, QSize size)
{
    I420Picture target(size.width(), size.height());
    picture.scaleInto(target);
    return target;
}

int planeWidth(const I420Picture &picture, int index)
{
    return index == 0 ? picture.width() : picture.chromaWidth();
}

int planeHeight(const I420Picture &picture, int index)
{
    return index == 0 ? picture.height() : picture.chromaHeight();
}

uint8_t sample(const I420Picture &picture, int index, int x, int y)
{
    return picture.plane(index)[ptrdiff_t(y) * picture.stride(index) + x];
}

// The reference: each target sample is the mean of the source area it
// covers, weighted by how much of each source sample lies inside it.
std::vector<double> areaAverage(const I420Picture &source, int index, int width, int height)
{
    const int sourceWidth = planeWidth(source, index);
    const int sourceHeight = planeHeight(source, index);
    const double stepX = double(sourceWidth) / width;
    const double stepY = double(sourceHeight) / height;
    std::vector<double> result(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double left = x * stepX, right = (x + 1) * stepX, top = y * stepY, bottom = (y + 1) * stepY;
            double sum = 0, area = 0;
            for (int sy = int(top); sy < std::min(sourceHeight, int(std::ceil(bottom))); ++sy) {
                const double h = std::min(bottom, sy + 1.0) - std::max(top, double(sy));
                for (int sx = int(left); sx < std::min(sourceWidth, int(std::ceil(right))); ++sx) {
                    const double w = std::min(right, sx + 1.0) - std::max(left, double(sx));
                    if (w > 0 && h > 0) {
                        sum += w * h * sample(source, index, sx, sy);
                        area += w * h;
                    }
                }
            }
            result[size_t(y) * size_t(width) + size_t(x)] = sum / area;
        }
    }
    return result;
}

// A desktop: title bar, panes with hard edges, lines of small text, diagonals.
QImage desktop(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(236, 236, 236));
    QPainter painter(&image);
    painter.fillRect(0, 0, width, 40, QColor(40, 50, 70));
    painter.fillRect(width / 2, 60, width / 2 - 20, height - 80, Qt::white);
    painter.fillRect(30, height / 2, width / 3, height / 4, QColor(20, 120, 220));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(13);
    painter.setFont(font);
    painter.setPen(Qt::black);
    for (int y = 60; y < height - 20; y += 17)
        painter.drawText(20, y, QStringLiteral("Der schnelle braune Fuchs springt über den faulen Hund 0123456789 "
                                               "ÄÖÜ ß – Lorem ipsum dolor sit amet, consectetur adipiscing"));
    painter.setPen(QColor(200, 30, 30));
    for (int x = 0; x < width; x += 37)
        painter.drawLine(x, 0, x + 100, height);
    return image;
}

const QList<QSize> kStreamSizes = {QSize(1040, 728), QSize(1200, 840), QSize(1440, 1008), QSize(1600, 1120)};

} // namespace

TEST(I420Picture, FlatColoursStayExactAtEveryStreamSize)
{
    // Includes white, which a scaler that loses a little at each step darkens.
    for (const QColor colour : {QColor(255, 255, 255), QColor(0, 0, 0), QColor(30, 144, 255), QColor(220, 20, 30)}) {
        QImage flat(1600, 1120, QImage::Format_RGB32);
        flat.fill(colour);
        const I420Picture source = convert(flat);
        QList<QSize> sizes = kStreamSizes;
        sizes << QSize(886, 498) << QSize(640, 480) << QSize(2000, 1400);
        for (const QSize size : sizes) {
            const I420Picture target = scaled(source, size);
            for (int index = 0; index < 3; ++index) {
                const uint8_t expected = sample(source, index, 0, 0);
                int wrong = 0;
                for (int y = 0; y < planeHeight(target, index); ++y)
                    for (int x = 0; x < planeWidth(target, index); ++x)
                        wrong += sample(target, index, x, y) != expected;
                EXPECT_EQ(wrong, 0) << colour.name().toStdString() << " at " << size.width() << "x" << size.height()
                                    << " plane " << index;
            }
        }
    }
}

TEST(I420Picture, ScalingStaysCloseToAnAreaAverageOnEdgesAndText)
{
    QList<std::pair<QSize, QSize>> cases;
    for (const QSize size : kStreamSizes)
        cases << std::pair{QSize(1600, 1120), size};
    cases << std::pair{QSize(1366, 768), QSize(886, 498)} << std::pair{QSize(1280, 800), QSize(600, 400)};
    for (const auto &[from, to] : cases) {
        const I420Picture source = convert(desktop(from.width(), from.height()));
        const I420Picture target = scaled(source, to);
        for (int index = 0; index < 3; ++index) {
            const int width = planeWidth(target, index);
            const int height = planeHeight(target, index);
            const std::vector<double> reference = areaAverage(source, index, width, height);
            double error = 0;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    error += std::abs(sample(target, index, x, y) - reference[size_t(y) * size_t(width) + size_t(x)]);
            EXPECT_LE(error / (double(width) * height), 2.0)
                << from.width() << "x" << from.height() << " -> " << to.width() << "x" << to.height() << " plane "
                << index;
        }
    }
}

TEST(I420Picture, ConvertingChangedAreasGivesWhatConvertingTheWholeGives)
{
    // Odd sizes and odd edges: chroma pairs straddle every boundary.
    QImage before(333, 211, QImage::Format_RGB32);
    before.fill(QColor(10, 200, 90));
    I420Picture incremental = convert(before);

    QImage after = before;
    const QList<QRect> areas = {QRect(3, 5, 7, 9), QRect(100, 1, 1, 1), QRect(320, 200, 13, 11),
                                QRect(0, 0, 333, 1), QRect(-20, 150, 50, 70)};
    for (const QRect &area : areas) {
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                if (after.rect().contains(x, y))
                    after.setPixel(x, y, QRandomGenerator::global()->generate() | 0xff000000u);
        incremental.convertFrom(after.constBits(), int(after.bytesPerLine()), area);
    }
    EXPECT_TRUE(incremental.hasSamePixels(convert(after)));
}

TEST(I420PicturePool, NeverHandsOutAPictureSomeoneElseHolds)
{
    I420PicturePool pool;
    std::shared_ptr<I420Picture> first = pool.take(64, 48);
    std::shared_ptr<const I420Picture> heldByEncoder = first;
    first.reset();
    std::shared_ptr<I420Picture> second = pool.take(64, 48);
    EXPECT_NE(second.get(), heldByEncoder.get());

    // Let go everywhere: the same buffer serves again, at a new size too.
    const I420Picture *reused = heldByEncoder.get();
    heldByEncoder.reset();
    second.reset();
    std::shared_ptr<I420Picture> third = pool.take(32, 16);
    EXPECT_EQ(third.get(), reused);
    EXPECT_EQ(third->size(), QSize(32, 16));
}
