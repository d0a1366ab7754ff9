#include "Bitmap.h"

#include <QDebug>

#include <opencv2/core/hal/intrin.hpp>

#include <cstring>
#include <new>

namespace bitmap {

bool sizeAllowed(int width, int height)
{
    return width > 0 && height > 0 && width <= kMaxDimension && height <= kMaxDimension
           && (long long)width * height <= kMaxPixels;
}

BitmapPtr create(int width, int height, const cv::Scalar& fill)
{
    if (!sizeAllowed(width, height)) {
        qWarning() << "Failed to create ID2D1Bitmap1 from buffer." << width << height;
        return {};
    }
    try {
        return std::make_shared<cv::Mat>(height, width, CV_8UC4, fill);
    } catch (const std::exception& e) {
        qWarning() << "Failed to create ID2D1Bitmap1 from buffer." << e.what();
        return {};
    }
}

BitmapPtr createFrom(int width, int height, const void* data, size_t pitch)
{
    if (!data || pitch < size_t(width) * 4) {
        qWarning() << "Failed to create ID2D1Bitmap1 from buffer." << width << height << pitch;
        return {};
    }
    BitmapPtr bmp = create(width, height, cv::Scalar());
    if (!bmp)
        return {};
    const auto* src = static_cast<const uchar*>(data);
    for (int y = 0; y < height; ++y)
        std::memcpy(bmp->ptr(y), src + size_t(y) * pitch, size_t(width) * 4);
    return bmp;
}

bool hasSize(const BitmapPtr& bmp, int width, int height)
{
    return bmp && !bmp->empty() && bmp->cols == width && bmp->rows == height;
}

namespace {

// x / 255 rounded to nearest, exact for 0 <= x <= 255 * 255.
inline unsigned div255(unsigned x)
{
    x += 128;
    return (x + (x >> 8)) >> 8;
}

// d = s over b (b may be d itself).
void drawOverRow(uchar* d, const uchar* b, const uchar* s, int n)
{
    int i = 0;
#if CV_SIMD
    using namespace cv;
    const int lanes = v_uint8::nlanes;
    const v_uint8 zero = vx_setzero_u8();
    const v_uint8 full = vx_setall_u8(255);
    const v_uint16 half = vx_setall_u16(128);
    for (; i + lanes <= n; i += lanes) {
        const uchar* sp = s + i * 4;
        const uchar* bp = b + i * 4;
        uchar* dp = d + i * 4;
        v_uint8 sc[4];
        v_load_deinterleave(sp, sc[0], sc[1], sc[2], sc[3]);
        if (v_check_all(sc[3] == zero)) {
            if (bp != dp)
                std::memcpy(dp, bp, size_t(lanes) * 4);
            continue;
        }
        if (v_check_all(sc[3] == full)) {
            v_store_interleave(dp, sc[0], sc[1], sc[2], sc[3]);
            continue;
        }
        v_uint8 dc[4];
        v_load_deinterleave(bp, dc[0], dc[1], dc[2], dc[3]);
        v_uint16 invLo, invHi;
        v_expand(full - sc[3], invLo, invHi);
        for (int c = 0; c < 4; ++c) {
            v_uint16 lo, hi;
            v_expand(dc[c], lo, hi);
            lo = v_mul_wrap(lo, invLo) + half;
            hi = v_mul_wrap(hi, invHi) + half;
            lo = (lo + (lo >> 8)) >> 8;
            hi = (hi + (hi >> 8)) >> 8;
            dc[c] = v_pack(lo, hi) + sc[c];
        }
        v_store_interleave(dp, dc[0], dc[1], dc[2], dc[3]);
    }
    vx_cleanup();
#endif
    for (; i < n; ++i) {
        const uchar* sp = s + i * 4;
        const uchar* bp = b + i * 4;
        uchar* dp = d + i * 4;
        const unsigned inv = 255u - sp[3];
        if (inv == 255u) {
            if (bp != dp)
                std::memcpy(dp, bp, 4);
            continue;
        }
        for (int c = 0; c < 4; ++c) {
            const unsigned v = sp[c] + div255(bp[c] * inv);
            dp[c] = uchar(v > 255u ? 255u : v);
        }
    }
}

} // namespace

void drawOver(cv::Mat& dst, const cv::Mat& src, const cv::Rect& area)
{
    if (dst.empty() || src.empty() || dst.type() != CV_8UC4 || src.type() != CV_8UC4)
        return;
    const cv::Rect r = area & cv::Rect(0, 0, src.cols, src.rows) & cv::Rect(0, 0, dst.cols, dst.rows);
    if (r.empty())
        return;
    for (int y = r.y; y < r.y + r.height; ++y)
        drawOverRow(dst.ptr(y) + size_t(r.x) * 4, dst.ptr(y) + size_t(r.x) * 4, src.ptr(y) + size_t(r.x) * 4, r.width);
}

void composeOver(cv::Mat& dst, const cv::Mat& below, const cv::Mat& above)
{
    if (below.empty() || below.type() != CV_8UC4)
        return;
    if (dst.size() != below.size() || above.size() != below.size() || dst.type() != CV_8UC4 || above.type() != CV_8UC4
        || dst.data == above.data) {
        below.copyTo(dst);
        drawOver(dst, above);
        return;
    }
    for (int y = 0; y < dst.rows; ++y)
        drawOverRow(dst.ptr(y), below.ptr(y), above.ptr(y), dst.cols);
}

} // namespace bitmap
