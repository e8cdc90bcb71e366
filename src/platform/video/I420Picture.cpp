#include "platform/video/I420Picture.h"

#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace trellium {

namespace {

// Rows padded for the converters' vector loops.
int paddedStride(int width)
{
    return (width + 31) & ~31;
}

// Weights of an area average along one axis: output sample o covers source
// samples [o * from / to, (o + 1) * from / to), each weighted by how much of
// it lies inside. Eight-bit weights keep the vertical sums in 16 bits.
struct AxisTaps {
    static constexpr int kBits = 8;
    int count = 0;                  // taps per output sample (unused ones weigh 0)
    std::vector<int> first;         // first source sample of each output sample
    std::vector<uint16_t> weights;  // count per output sample, summing to 1 << kBits

    AxisTaps(int from, int to) : first(static_cast<size_t>(to))
    {
        count = (from + to - 1) / to + 1;
        weights.assign(size_t(to) * size_t(count), 0);
        for (int o = 0; o < to; ++o) {
            // Edges in units of 1 / to of a source sample, so they are exact.
            const int64_t begin = int64_t(o) * from;
            const int64_t end = int64_t(o + 1) * from;
            const int start = int(begin / to);
            first[size_t(o)] = start;
            uint16_t *w = &weights[size_t(o) * size_t(count)];
            int sum = 0;
            int largest = 0;
            for (int i = 0; i < count && start + i < from; ++i) {
                const int64_t left = std::max<int64_t>(begin, int64_t(start + i) * to);
                const int64_t right = std::min<int64_t>(end, int64_t(start + i + 1) * to);
                if (right <= left)
                    continue;
                w[i] = uint16_t((((right - left) << kBits) + from / 2) / from);
                sum += w[i];
                if (w[i] > w[largest])
                    largest = i;
            }
            // Rounding leftovers go to the largest share: the weights sum to one.
            w[largest] = uint16_t(w[largest] + ((1 << kBits) - sum));
        }
    }
};

template<int Taps>
void averageColumns(const uint16_t *row, const AxisTaps &columns, uint8_t *out, int width)
{
    constexpr uint32_t kRound = 1u << (2 * AxisTaps::kBits - 1);
    for (int x = 0; x < width; ++x) {
        const uint16_t *w = &columns.weights[size_t(x) * Taps];
        const uint16_t *in = row + columns.first[size_t(x)];
        uint32_t sum = kRound;
        for (int k = 0; k < Taps; ++k)
            sum += uint32_t(w[k]) * in[k];
        out[x] = uint8_t(sum >> (2 * AxisTaps::kBits));
    }
}

// Area-average downscaling of one plane: rows first (16-bit sums that
// vectorise), then columns.
void areaScalePlane(const uint8_t *source, int sourceStride, int sourceWidth, int sourceHeight, uint8_t *target,
                    int targetStride, int targetWidth, int targetHeight)
{
    const AxisTaps rows(sourceHeight, targetHeight);
    const AxisTaps columns(sourceWidth, targetWidth);
    // Padded so that every column tap reads inside the row.
    std::vector<uint16_t> row(static_cast<size_t>(sourceWidth + columns.count), 0);
    uint16_t *sums = row.data();
    for (int y = 0; y < targetHeight; ++y) {
        const uint16_t *rowWeights = &rows.weights[size_t(y) * size_t(rows.count)];
        const uint8_t *line = source + ptrdiff_t(rows.first[size_t(y)]) * sourceStride;
        const uint16_t w0 = rowWeights[0];
        for (int x = 0; x < sourceWidth; ++x)
            sums[x] = uint16_t(w0 * line[x]);
        for (int k = 1; k < rows.count; ++k) {
            const uint16_t weight = rowWeights[k];
            if (weight == 0)
                continue;
            line = source + ptrdiff_t(rows.first[size_t(y)] + k) * sourceStride;
            for (int x = 0; x < sourceWidth; ++x)
                sums[x] = uint16_t(sums[x] + weight * line[x]);
        }
        uint8_t *out = target + ptrdiff_t(y) * targetStride;
        switch (columns.count) {
        case 2:
            averageColumns<2>(sums, columns, out, targetWidth);
            break;
        case 3:
            averageColumns<3>(sums, columns, out, targetWidth);
            break;
        case 4:
            averageColumns<4>(sums, columns, out, targetWidth);
            break;
        default:
            for (int x = 0; x < targetWidth; ++x) {
                const uint16_t *w = &columns.weights[size_t(x) * size_t(columns.count)];
                const uint16_t *in = sums + columns.first[size_t(x)];
                uint32_t sum = 1u << (2 * AxisTaps::kBits - 1);
                for (int k = 0; k < columns.count; ++k)
                    sum += uint32_t(w[k]) * in[k];
                out[x] = uint8_t(sum >> (2 * AxisTaps::kBits));
            }
        }
    }
}

void scalePlane(const uint8_t *source, int sourceStride, int sourceWidth, int sourceHeight, uint8_t *target,
                int targetStride, int targetWidth, int targetHeight)
{
    const bool same = sourceWidth == targetWidth && sourceHeight == targetHeight;
    // libyuv is quick. It averages exactly at a half and a quarter, and down
    // to three quarters its bilinear taps cover a target pixel's area well.
    // Below that they skip detail such as text strokes, and its box filter
    // sums whole pixels (off by a few levels, flat colours too): there the
    // area average of our own.
    const auto ratio = [&](int numerator, int denominator) {
        return targetWidth * denominator == sourceWidth * numerator
            && targetHeight * denominator == sourceHeight * numerator;
    };
    const bool exact = ratio(1, 2) || ratio(1, 4);
    const bool mild = targetWidth * 4 >= sourceWidth * 3 && targetHeight * 4 >= sourceHeight * 3;
    if (same) {
        libyuv::CopyPlane(source, sourceStride, target, targetStride, targetWidth, targetHeight);
    } else if (!mild && !exact) {
        areaScalePlane(source, sourceStride, sourceWidth, sourceHeight, target, targetStride, targetWidth,
                       targetHeight);
    } else {
        libyuv::ScalePlane(source, sourceStride, sourceWidth, sourceHeight, target, targetStride, targetWidth,
                           targetHeight, libyuv::kFilterBox);
    }
}

} // namespace

I420Picture::I420Picture(int width, int height)
{
    resize(width, height);
}

void I420Picture::resize(int width, int height)
{
    if (width <= 0 || height <= 0) {
        *this = I420Picture();
        return;
    }
    if (width == m_width && height == m_height)
        return;
    m_width = width;
    m_height = height;
    m_strides[0] = paddedStride(width);
    m_strides[1] = m_strides[2] = paddedStride(chromaWidth());
    const size_t luma = size_t(m_strides[0]) * size_t(height);
    const size_t chroma = size_t(m_strides[1]) * size_t(chromaHeight());
    m_offsets[0] = 0;
    m_offsets[1] = luma;
    m_offsets[2] = luma + chroma;
    m_data.assign(luma + 2 * chroma, 0);
}

void I420Picture::convertFrom(const uint8_t *bgrx, int bytesPerRow, const QRect &area)
{
    const int left = std::max(0, area.left()) & ~1;
    const int top = std::max(0, area.top()) & ~1;
    const int right = std::min(m_width, area.left() + area.width());
    const int bottom = std::min(m_height, area.top() + area.height());
    if (isNull() || right <= left || bottom <= top)
        return;
    // An odd right or bottom edge inside the picture is widened by one; at
    // the picture's own odd edge the converter handles the half sample.
    const int width = std::min(m_width, (right + 1) & ~1) - left;
    const int height = std::min(m_height, (bottom + 1) & ~1) - top;
    libyuv::ARGBToI420(bgrx + ptrdiff_t(top) * bytesPerRow + ptrdiff_t(left) * 4, bytesPerRow,
                       plane(0) + ptrdiff_t(top) * stride(0) + left, stride(0),
                       plane(1) + ptrdiff_t(top / 2) * stride(1) + left / 2, stride(1),
                       plane(2) + ptrdiff_t(top / 2) * stride(2) + left / 2, stride(2), width, height);
}

void I420Picture::scaleInto(I420Picture &target) const
{
    if (isNull() || target.isNull())
        return;
    scalePlane(plane(0), stride(0), m_width, m_height, target.plane(0), target.stride(0), target.width(),
               target.height());
    for (int index = 1; index <= 2; ++index)
        scalePlane(plane(index), stride(index), chromaWidth(), chromaHeight(), target.plane(index),
                   target.stride(index), target.chromaWidth(), target.chromaHeight());
}

PixelBuffer I420Picture::toPixelBuffer() const
{
    PixelBuffer buffer;
    if (isNull())
        return buffer;
    buffer.width = m_width;
    buffer.height = m_height;
    buffer.bytesPerRow = m_width * 4;
    buffer.data.resize(qsizetype(buffer.bytesPerRow) * m_height);
    libyuv::I420ToARGB(plane(0), stride(0), plane(1), stride(1), plane(2), stride(2),
                       reinterpret_cast<uint8_t *>(buffer.data.data()), buffer.bytesPerRow, m_width, m_height);
    return buffer;
}

bool I420Picture::hasSamePixels(const I420Picture &other) const
{
    if (size() != other.size())
        return false;
    for (int index = 0; index < 3; ++index) {
        const int width = index == 0 ? m_width : chromaWidth();
        const int height = index == 0 ? m_height : chromaHeight();
        for (int y = 0; y < height; ++y) {
            if (std::memcmp(plane(index) + ptrdiff_t(y) * stride(index),
                            other.plane(index) + ptrdiff_t(y) * other.stride(index), size_t(width))
                != 0)
                return false;
        }
    }
    return true;
}

} // namespace trellium
