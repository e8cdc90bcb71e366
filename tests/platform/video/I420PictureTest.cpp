#include "platform/video/I420Picture.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QRandomGenerator>

#include <cmath>

using namespace trellium;

namespace {

I420Picture convert(const QImage &image)
{
    I420Picture picture(image.width(), image.height());
    picture.convertFrom(image.constBits(), int(image.bytesPerLine()));
    return picture;
}

// Plane `index` as doubles, rows packed.
std::vector<double> samples(const I420Picture &picture, int index, int *width, int *height)
{
    *width = index == 0 ? picture.width() : picture.chromaWidth();
    *height = index == 0 ? picture.height() : picture.chromaHeight();
    std::vector<double> result;
    for (int y = 0; y < *height; ++y)
        for (int x = 0; x < *width; ++x)
            result.push_back(picture.plane(index)[ptrdiff_t(y) * picture.stride(index) + x]);
    return result;
}

// The reference: each target sample is the mean of the source area it
// covers, each source sample weighted by how much of it lies inside.
double areaAverage(const std::vector<double> &source, int width, int height, double left, double top,
                   double right, double bottom)
{
    double sum = 0, area = 0;
    for (int y = int(top); y < std::min(height, int(std::ceil(bottom))); ++y) {
        for (int x = int(left); x < std::min(width, int(std::ceil(right))); ++x) {
            const double share = (std::min(right, x + 1.0) - std::max(left, double(x)))
                * (std::min(bottom, y + 1.0) - std::max(top, double(y)));
            sum += share * source[size_t(y) * size_t(width) + size_t(x)];
            area += share;
        }
    }
    return sum / area;
}

// A desktop: title bar, panes with hard edges, lines of small text, diagonals.
QImage desktop(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(236, 236, 236));
    QPainter painter(&image);
    painter.fillRect(0, 0, width, 40, QColor(40, 50, 70));
    painter.fillRect(width / 2, 60, width / 2 - 20, height - 80, Qt::white);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(13);
    painter.setFont(font);
    for (int y = 60; y < height - 20; y += 17)
        painter.drawText(20, y, QStringLiteral("Der schnelle braune Fuchs springt über den faulen Hund 0123456789 "
                                               "ÄÖÜ ß – Lorem ipsum dolor sit amet, consectetur adipiscing"));
    painter.setPen(QColor(200, 30, 30));
    for (int x = 0; x < width; x += 37)
        painter.drawLine(x, 0, x + 100, height);
    return image;
}

// The stream sizes of the three qualities and an odd-sized runtime's.
const QList<std::pair<QSize, QSize>> kScalings = {{QSize(1600, 1120), QSize(1040, 728)},
                                                  {QSize(1600, 1120), QSize(1200, 840)},
                                                  {QSize(1600, 1120), QSize(1440, 1008)},
                                                  {QSize(1366, 768), QSize(886, 498)},
                                                  {QSize(1280, 800), QSize(600, 400)}};

} // namespace

TEST(I420Picture, ScalingKeepsFlatColoursExactAndStaysCloseToAnAreaAverageOnText)
{
    for (const auto &[from, to] : kScalings) {
        // Flat colours, white among them (a scaler that loses a little at each
        // step darkens it), stay exactly the colour's samples.
        for (const QColor colour : {QColor(255, 255, 255), QColor(30, 144, 255), QColor(220, 20, 30)}) {
            QImage flat(from, QImage::Format_RGB32);
            flat.fill(colour);
            const I420Picture source = convert(flat);
            I420Picture target(to.width(), to.height());
            source.scaleInto(target);
            for (int index = 0; index < 3; ++index) {
                int width, height;
                const std::vector<double> values = samples(target, index, &width, &height);
                const double expected = source.plane(index)[0];
                EXPECT_EQ(std::count(values.begin(), values.end(), expected), qsizetype(values.size()))
                    << colour.name().toStdString() << " at " << to.width() << "x" << to.height() << " plane " << index;
            }
        }
        // Edges and small text: within two levels of the area average.
        const I420Picture source = convert(desktop(from.width(), from.height()));
        I420Picture target(to.width(), to.height());
        source.scaleInto(target);
        for (int index = 0; index < 3; ++index) {
            int sourceWidth, sourceHeight, width, height;
            const std::vector<double> in = samples(source, index, &sourceWidth, &sourceHeight);
            const std::vector<double> out = samples(target, index, &width, &height);
            const double stepX = double(sourceWidth) / width, stepY = double(sourceHeight) / height;
            double error = 0;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    error += std::abs(out[size_t(y) * size_t(width) + size_t(x)]
                                      - areaAverage(in, sourceWidth, sourceHeight, x * stepX, y * stepY,
                                                    (x + 1) * stepX, (y + 1) * stepY));
            EXPECT_LE(error / (double(width) * height), 2.0)
                << from.width() << "x" << from.height() << " -> " << to.width() << "x" << to.height() << " plane "
                << index;
        }
    }
}

TEST(I420Picture, ConvertingChangedAreasGivesWhatConvertingTheWholeGives)
{
    // Odd sizes and odd edges: chroma pairs straddle every boundary.
    QImage image(333, 211, QImage::Format_RGB32);
    image.fill(QColor(10, 200, 90));
    I420Picture incremental = convert(image);
    for (const QRect &area : {QRect(3, 5, 7, 9), QRect(100, 1, 1, 1), QRect(320, 200, 13, 11), QRect(-20, 150, 50, 70)}) {
        for (int y = std::max(0, area.top()); y <= std::min(210, area.bottom()); ++y)
            for (int x = std::max(0, area.left()); x <= std::min(332, area.right()); ++x)
                image.setPixel(x, y, QRandomGenerator::global()->generate() | 0xff000000u);
        incremental.convertFrom(image.constBits(), int(image.bytesPerLine()), area);
    }
    EXPECT_TRUE(incremental.hasSamePixels(convert(image)));
}
