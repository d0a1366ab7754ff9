#include "WarpKernel.h"

#include "WarpKernel.inl"

#include <opencv2/core/utility.hpp>

#include <climits>
#include <vector>

namespace warpkernel {

#if defined(VANTOR_WARP_AVX2)
void warpRowAvx2(const unsigned char* src, std::size_t srcStep, int srcWidth, int srcHeight, unsigned char* row,
                 int width, const int* dx, const int* dy, int x0, int y0);
#endif

namespace {

// OpenCV's position arithmetic: the inverse matrix in double, scaled to 1/1024
// pixel and rounded per column and per row; the row start carries half a
// 1/32 step so that cutting the sum to 1/32 pixel rounds it. The positions,
// and so the pixels, match cv::warpAffine's.
constexpr double kPosScale = 1 << kPosBits;
constexpr int kPosHalfStep = (1 << kPosBits) / kFracOne / 2;

bool warp(const cv::Mat& src, cv::Mat& dst, const cv::Matx23f& forward, bool vector)
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
    const Source s{src.data, src.step[0], src.cols, src.rows};
    // The vector path addresses the source with 32-bit offsets.
    const bool vectorRows = vector && src.step[0] * std::size_t(src.rows) <= std::size_t(INT_MAX);
    for (int y = 0; y < dst.rows; ++y) {
        unsigned char* row = dst.ptr(y);
        const int x0 = int(std::uint32_t(cv::saturate_cast<int>((m[1] * y + m[2]) * kPosScale)) + kPosHalfStep);
        const int y0 = int(std::uint32_t(cv::saturate_cast<int>((m[4] * y + m[5]) * kPosScale)) + kPosHalfStep);
#if defined(VANTOR_WARP_AVX2)
        if (vectorRows) {
            warpRowAvx2(s.data, s.step, s.width, s.height, row, width, dx.data(), dy.data(), x0, y0);
            continue;
        }
#else
        (void)vectorRows;
#endif
        warpSpan(s, row, 0, width, dx.data(), dy.data(), x0, y0);
    }
    return true;
}

} // namespace

bool warpAffine(const cv::Mat& src, cv::Mat& dst, const cv::Matx23f& forward)
{
#if defined(VANTOR_WARP_AVX2)
    static const bool avx2 = cv::checkHardwareSupport(CV_CPU_AVX2) && cv::checkHardwareSupport(CV_CPU_FMA3);
    return warp(src, dst, forward, avx2);
#else
    return warp(src, dst, forward, false);
#endif
}

bool warpAffineBaseline(const cv::Mat& src, cv::Mat& dst, const cv::Matx23f& forward)
{
    return warp(src, dst, forward, false);
}

} // namespace warpkernel
