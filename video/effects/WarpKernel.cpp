#include "WarpKernel.h"

#include "WarpKernel.inl"

#include "SimdBuilds.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>
#include <vector>

namespace warpkernel {

// The wide builds' row loops (SimdTarget.h).
void warpRowAvx2(const unsigned char* src, std::size_t srcStep, unsigned char* row, int begin, int end, const int* dx,
                 const int* dy, int x0, int y0);
void warpRowAvx512(const unsigned char* src, std::size_t srcStep, unsigned char* row, int begin, int end, const int* dx,
                   const int* dy, int x0, int y0);

namespace {

// OpenCV's position arithmetic: the inverse matrix in double, scaled to 1/1024
// pixel and rounded per column and per row; the row start carries half a
// 1/32 step so that cutting the sum to 1/32 pixel rounds it. The positions,
// and so the pixels, match cv::warpAffine's.
constexpr double kPosScale = 1 << kPosBits;
constexpr int kPosHalfStep = (1 << kPosBits) / kFracOne / 2;

// Target columns per strip of the vector path (see warp below).
constexpr int kStripWidth = 128;

// Positions further than this from 0, in 1/1024 pixels, are never summed on
// the fast path, so the sums cannot wrap and the rounded column offsets are
// monotonic.
constexpr double kPosLimit = double(1 << 30);

// Columns [first, last) of a row whose source position along one axis has both
// neighbours inside the source: position p = start + delta[x] (1/1024 pixel)
// with 0 <= p >> 10 <= size - 2. The offsets rise (or fall) with x, so the
// columns form one range, found by bisection.
std::pair<int, int> insideColumns(const std::vector<int>& delta, bool rising, int start, int size)
{
    const std::int64_t lo = -std::int64_t(start);
    const std::int64_t hi = (std::int64_t(size - 1) << kPosBits) - 1 - start;
    std::vector<int>::const_iterator first, last;
    if (rising) {
        first = std::lower_bound(delta.begin(), delta.end(), lo);
        last = std::upper_bound(delta.begin(), delta.end(), hi);
    } else {
        first = std::lower_bound(delta.begin(), delta.end(), hi, [](int d, std::int64_t v) { return d > v; });
        last = std::upper_bound(delta.begin(), delta.end(), lo, [](std::int64_t v, int d) { return v > d; });
    }
    const int begin = int(first - delta.begin());
    return {begin, std::max(begin, int(last - delta.begin()))};
}

using VectorRow = void (*)(const unsigned char*, std::size_t, unsigned char*, int, int, const int*, const int*, int,
                           int);

// `vectorRow` is the vector build's row loop, or null for the baseline path.
bool warp(const cv::Mat& src, cv::Mat& dst, const cv::Matx23f& forward, VectorRow vectorRow)
{
    if (src.type() != CV_8UC4 || dst.type() != CV_8UC4)
        return false;
    if (dst.empty())
        return true;
    if (src.datastart < dst.dataend && dst.datastart < src.dataend)
        return false;
    // Nothing has a whole 2x2 neighbourhood in a source narrower or lower than 2.
    if (src.cols < 2 || src.rows < 2)
        return true;

    double m[6];
    for (int i = 0; i < 6; ++i)
        m[i] = forward.val[i];
    double det = m[0] * m[4] - m[1] * m[3];
    det = det != 0 ? 1.0 / det : 0.0;
    const double a11 = m[4] * det, a22 = m[0] * det;
    m[0] = a11;
    m[1] *= -det;
    m[3] *= -det;
    m[4] = a22;
    const double b1 = -m[0] * m[2] - m[1] * m[5];
    const double b2 = -m[3] * m[2] - m[4] * m[5];
    m[2] = b1;
    m[5] = b2;

    const int width = dst.cols;
    const auto columns = std::size_t(width);
    std::vector<int> dx(columns), dy(columns);
    for (int x = 0; x < width; ++x) {
        dx[std::size_t(x)] = cv::saturate_cast<int>(m[0] * x * kPosScale);
        dy[std::size_t(x)] = cv::saturate_cast<int>(m[3] * x * kPosScale);
    }
    const Source s {src.data, src.step[0], src.cols, src.rows};
    // The vector path adds 16-bit pairs sx x 4 + sy x step into 32-bit offsets.
    const bool vectorFits = src.cols <= SHRT_MAX && src.rows <= SHRT_MAX && src.step[0] <= std::size_t(SHRT_MAX);
    const bool monotonic =
        std::fabs(m[0]) * width * kPosScale < kPosLimit && std::fabs(m[3]) * width * kPosScale < kPosLimit;
    // Per row: the start of its source positions and the columns it writes.
    struct Row
    {
        int x0, y0, begin, end;
    };
    std::vector<Row> rows(std::size_t(dst.rows));
    for (int y = 0; y < dst.rows; ++y) {
        Row& r = rows[std::size_t(y)];
        const double rowX = (m[1] * y + m[2]) * kPosScale, rowY = (m[4] * y + m[5]) * kPosScale;
        r.x0 = int(std::uint32_t(cv::saturate_cast<int>(rowX)) + kPosHalfStep);
        r.y0 = int(std::uint32_t(cv::saturate_cast<int>(rowY)) + kPosHalfStep);
        r.begin = r.end = 0;
        if (!monotonic || !(std::fabs(rowX) < kPosLimit) || !(std::fabs(rowY) < kPosLimit)) {
            // Absurd positions: each pixel is checked on its own.
            warpSpan(s, dst.ptr(y), 0, width, dx.data(), dy.data(), r.x0, r.y0);
            continue;
        }
        // Only the columns inside on both axes are written.
        const auto [bx, ex] = insideColumns(dx, m[0] >= 0, r.x0, src.cols);
        const auto [by, ey] = insideColumns(dy, m[3] >= 0, r.y0, src.rows);
        r.begin = std::max(bx, by);
        r.end = std::max(r.begin, std::min(ex, ey));
    }
    if (vectorRow && vectorFits) {
        // Strips of columns from top to bottom: a turned row crosses many
        // source rows (and memory pages), a strip's rows reuse them. Each row
        // keeps its groups of eight from its first column; the strip holding
        // its last column also takes the pixels after its last group.
        for (int strip = 0; strip < width; strip += kStripWidth) {
            for (int y = 0; y < dst.rows; ++y) {
                const Row& r = rows[std::size_t(y)];
                const auto groupStart = [&](int x) {
                    return x <= r.begin ? r.begin : r.begin + (x - r.begin + 7) / 8 * 8;
                };
                const int begin = groupStart(strip);
                const int end = strip + kStripWidth >= r.end ? r.end : std::min(r.end, groupStart(strip + kStripWidth));
                if (begin < end)
                    vectorRow(s.data, s.step, dst.ptr(y), begin, end, dx.data(), dy.data(), r.x0, r.y0);
            }
        }
        return true;
    }
    for (int y = 0; y < dst.rows; ++y) {
        const Row& r = rows[std::size_t(y)];
        mixSpan(s, dst.ptr(y), r.begin, r.end, dx.data(), dy.data(), r.x0, r.y0);
    }
    return true;
}

} // namespace

bool warpAffine(const cv::Mat& src, cv::Mat& dst, const cv::Matx23f& forward)
{
    static const VectorRow best =
        simd::pick<VectorRow>(nullptr, VANTOR_AVX2_BUILD(warpRow), VANTOR_AVX512_BUILD(warpRow));
    return warp(src, dst, forward, best);
}

bool warpAffineBaseline(const cv::Mat& src, cv::Mat& dst, const cv::Matx23f& forward)
{
    return warp(src, dst, forward, nullptr);
}

} // namespace warpkernel
