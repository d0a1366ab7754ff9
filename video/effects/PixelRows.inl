// Body of the pixel row loops, compiled once for the baseline instruction set
// and once for AVX2. Everything here has internal linkage and uses no library
// inline functions, so the two builds never mix at link time.

#include "PixelRows.h"

#include <opencv2/core/hal/intrin.hpp>

namespace {

using uchar8 = uint8_t;

// x / 255 rounded to nearest, exact for 0 <= x <= 255 * 255.
inline unsigned div255Round(unsigned x)
{
    x += 128;
    return (x + (x >> 8)) >> 8;
}

// x / 255 truncated, exact for 0 <= x <= 255 * 255.
inline unsigned div255Floor(unsigned x)
{
    return (x + 1 + (x >> 8)) >> 8;
}

inline void copyPixels(uchar8* d, const uchar8* s, int n)
{
    for (int i = 0; i < n * 4; ++i)
        d[i] = s[i];
}

void drawOverImpl(uchar8* d, const uchar8* b, const uchar8* s, int n)
{
    int i = 0;
#if CV_SIMD
    using namespace cv;
    const int lanes = v_uint8::nlanes;
    const v_uint8 zero = vx_setzero_u8();
    const v_uint8 full = vx_setall_u8(255);
    const v_uint16 half = vx_setall_u16(128);
    for (; i + lanes <= n; i += lanes) {
        const uchar8* sp = s + i * 4;
        const uchar8* bp = b + i * 4;
        uchar8* dp = d + i * 4;
        v_uint8 sc[4];
        v_load_deinterleave(sp, sc[0], sc[1], sc[2], sc[3]);
        if (v_check_all(sc[3] == zero)) {
            if (bp != dp) {
                for (int k = 0; k < 4; ++k)
                    v_store(dp + k * lanes, vx_load(bp + k * lanes));
            }
            continue;
        }
        if (v_check_all(sc[3] == full)) {
            for (int k = 0; k < 4; ++k)
                v_store(dp + k * lanes, vx_load(sp + k * lanes));
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
        const uchar8* sp = s + i * 4;
        const uchar8* bp = b + i * 4;
        uchar8* dp = d + i * 4;
        const unsigned inv = 255u - sp[3];
        if (inv == 255u) {
            if (bp != dp)
                copyPixels(dp, bp, 1);
            continue;
        }
        for (int c = 0; c < 4; ++c) {
            const unsigned v = sp[c] + div255Round(bp[c] * inv);
            dp[c] = uchar8(v > 255u ? 255u : v);
        }
    }
}

void premultiplyImpl(const uchar8* s, const uchar8* a, int n, uchar8* d, uchar8* copy)
{
    int x = 0;
#if CV_SIMD
    using namespace cv;
    const int lanes = v_uint8::nlanes;
    const v_uint16 one = vx_setall_u16(1);
    for (; x + lanes <= n; x += lanes) {
        v_uint8 c[4];
        v_load_deinterleave(s + x * 4, c[0], c[1], c[2], c[3]);
        const v_uint8 alpha = vx_load(a + x);
        v_uint16 aLo, aHi;
        v_expand(alpha, aLo, aHi);
        for (int k = 0; k < 3; ++k) {
            v_uint16 lo, hi;
            v_expand(c[k], lo, hi);
            lo = v_mul_wrap(lo, aLo);
            hi = v_mul_wrap(hi, aHi);
            lo = (lo + one + (lo >> 8)) >> 8;
            hi = (hi + one + (hi >> 8)) >> 8;
            c[k] = v_pack(lo, hi);
        }
        c[3] = alpha;
        v_store_interleave(d + x * 4, c[0], c[1], c[2], c[3]);
        if (copy)
            v_store_interleave(copy + x * 4, c[0], c[1], c[2], c[3]);
    }
    vx_cleanup();
#endif
    for (; x < n; ++x) {
        const uchar8* p = s + x * 4;
        const unsigned alpha = a[x];
        const uchar8 q[4] = {uchar8(div255Floor(p[0] * alpha)), uchar8(div255Floor(p[1] * alpha)),
                             uchar8(div255Floor(p[2] * alpha)), uchar8(alpha)};
        copyPixels(d + x * 4, q, 1);
        if (copy)
            copyPixels(copy + x * 4, q, 1);
    }
}

#if CV_SIMD
// (a x wa + b x wb) / 2^shift per byte, rounded half up, in 16 bits
// (wa + wb <= 2^shift <= 256).
inline cv::v_uint8 weighted(const cv::v_uint8& a, const cv::v_uint8& b, uint16_t wa, uint16_t wb, int shift)
{
    using namespace cv;
    v_uint16 a0, a1, b0, b1;
    v_expand(a, a0, a1);
    v_expand(b, b0, b1);
    const v_uint16 va = vx_setall_u16(wa), vb = vx_setall_u16(wb), half = vx_setall_u16(uint16_t(1 << (shift - 1)));
    a0 = (v_mul_wrap(a0, va) + v_mul_wrap(b0, vb) + half) >> shift;
    a1 = (v_mul_wrap(a1, va) + v_mul_wrap(b1, vb) + half) >> shift;
    return v_pack(a0, a1);
}
#endif

void mixImpl(const uchar8* a, const uchar8* b, int weight, uchar8* out, int bytes)
{
    int i = 0;
#if CV_SIMD
    using namespace cv;
    for (; i + v_uint8::nlanes <= bytes; i += v_uint8::nlanes)
        v_store(out + i, weighted(vx_load(a + i), vx_load(b + i), uint16_t(16 - weight), uint16_t(weight), 4));
    vx_cleanup();
#endif
    for (; i < bytes; ++i)
        out[i] = uchar8((a[i] * (16 - weight) + b[i] * weight + 8) >> 4);
}

void shrinkImpl(const uchar8* const* rows, int factor, uchar8* out, int n)
{
    int x = 0;
#if CV_SIMD
    using namespace cv;
    // The source pixels are split by their place in the block (every factor-th
    // pixel into one vector), so each vector's bytes line up with the output
    // pixels' channels.
    const int lanes = v_uint32::nlanes;
    const v_uint16 half = vx_setall_u16(uint16_t(factor * factor / 2));
    const int shift = factor == 4 ? 4 : 2;
    for (; x + lanes <= n; x += lanes) {
        v_uint16 lo = vx_setzero_u16(), hi = vx_setzero_u16();
        for (int r = 0; r < factor; ++r) {
            const auto* src = reinterpret_cast<const unsigned*>(rows[r]) + x * factor;
            v_uint32 p[4];
            if (factor == 4)
                v_load_deinterleave(src, p[0], p[1], p[2], p[3]);
            else
                v_load_deinterleave(src, p[0], p[1]);
            for (int k = 0; k < factor; ++k) {
                v_uint16 l, h;
                v_expand(v_reinterpret_as_u8(p[k]), l, h);
                lo += l;
                hi += h;
            }
        }
        lo = (lo + half) >> shift;
        hi = (hi + half) >> shift;
        v_store(out + x * 4, v_pack(lo, hi));
    }
    vx_cleanup();
#endif
    const unsigned area = unsigned(factor * factor);
    for (; x < n; ++x) {
        for (int c = 0; c < 4; ++c) {
            unsigned sum = 0;
            for (int r = 0; r < factor; ++r) {
                for (int k = 0; k < factor; ++k)
                    sum += rows[r][(x * factor + k) * 4 + c];
            }
            out[x * 4 + c] = uchar8((sum + area / 2) / area);
        }
    }
}

// One output pixel of the widening: the source pixels left and right of its
// centre, weighted by distance in 1 / (2 x factor) steps, rounded half up.
inline void widenPixel(const uchar8* left, const uchar8* right, unsigned weight, unsigned factor, uchar8* out)
{
    const unsigned whole = 2 * factor;
    for (int c = 0; c < 4; ++c)
        out[c] = uchar8((left[c] * (whole - weight) + right[c] * weight + factor) / whole);
}

void widenImpl(const uchar8* s, int n, int factor, uchar8* out)
{
    // Output pixel x = factor i + k sits at source position i + d with
    // d = (2k + 1 - factor) / (2 factor): between pixels i - 1 and i for the
    // first half of the block, i and i + 1 for the second. Outside the row the
    // end pixels repeat.
    const auto pixel = [s, n](int i) { return s + (i < 0 ? 0 : i >= n ? n - 1 : i) * 4; };
    const auto block = [&](int i) {
        for (int k = 0; k < factor; ++k) {
            const int d = 2 * k + 1 - factor;
            uchar8* o = out + (i * factor + k) * 4;
            if (d < 0)
                widenPixel(pixel(i - 1), pixel(i), unsigned(2 * factor + d), unsigned(factor), o);
            else
                widenPixel(pixel(i), pixel(i + 1), unsigned(d), unsigned(factor), o);
        }
    };
    int i = 0;
    if (n > 0)
        block(i++);
#if CV_SIMD
    using namespace cv;
    // Vectors of whole pixels from i - 1, i and i + 1; each of the factor
    // outputs per source pixel in a vector of its own, interleaved on store.
    const int lanes = v_uint32::nlanes;
    const auto load = [s](int at) { return v_reinterpret_as_u8(vx_load(reinterpret_cast<const unsigned*>(s) + at)); };
    const auto mix = [](const v_uint8& a, const v_uint8& b, uint16_t wa, uint16_t wb, int shift) {
        return v_reinterpret_as_u32(weighted(a, b, wa, wb, shift));
    };
    if (factor == 4) {
        for (; i + lanes + 1 <= n; i += lanes) {
            const v_uint8 p = load(i - 1), c = load(i), q = load(i + 1);
            v_store_interleave(reinterpret_cast<unsigned*>(out) + i * 4, mix(p, c, 3, 5, 3), mix(p, c, 1, 7, 3),
                               mix(c, q, 7, 1, 3), mix(c, q, 5, 3, 3));
        }
    } else if (factor == 2) {
        for (; i + lanes + 1 <= n; i += lanes)
            v_store_interleave(reinterpret_cast<unsigned*>(out) + i * 2, mix(load(i - 1), load(i), 1, 3, 2),
                               mix(load(i), load(i + 1), 3, 1, 2));
    }
    vx_cleanup();
#endif
    for (; i < n; ++i)
        block(i);
}

void filterRowImpl(const uchar8* s, const uint16_t* weights, int taps, uint16_t* out, int values)
{
    int i = 0;
#if CV_SIMD
    using namespace cv;
    const int lanes = v_uint16::nlanes;
    for (; i + lanes <= values; i += lanes) {
        v_uint16 sum = vx_setzero_u16();
        for (int t = 0; t < taps; ++t)
            sum += v_mul_wrap(vx_load_expand(s + i + t * 4), vx_setall_u16(weights[t]));
        v_store(out + i, sum);
    }
    vx_cleanup();
#endif
    for (; i < values; ++i) {
        unsigned sum = 0;
        for (int t = 0; t < taps; ++t)
            sum += unsigned(s[i + t * 4]) * weights[t];
        out[i] = uint16_t(sum);
    }
}

void filterColumnImpl(const uint16_t* const* rows, const uint16_t* weights, int taps, uchar8* out, int values)
{
    int i = 0;
#if CV_SIMD
    using namespace cv;
    const int lanes = v_uint16::nlanes;
    for (; i + 2 * lanes <= values; i += 2 * lanes) {
        v_uint16 lo = vx_setzero_u16(), hi = vx_setzero_u16();
        for (int t = 0; t < taps; ++t) {
            const v_uint16 w = vx_setall_u16(weights[t]);
            lo += v_mul_hi(vx_load(rows[t] + i), w);
            hi += v_mul_hi(vx_load(rows[t] + i + lanes), w);
        }
        v_store(out + i, v_rshr_pack<8>(lo, hi));
    }
    vx_cleanup();
#endif
    for (; i < values; ++i) {
        unsigned sum = 0;
        for (int t = 0; t < taps; ++t)
            sum += (unsigned(rows[t][i]) * weights[t]) >> 16;
        out[i] = uchar8((sum + 128) >> 8);
    }
}

const pixelrows::Table kTable = {drawOverImpl, premultiplyImpl, mixImpl,         shrinkImpl,
                                 widenImpl,    filterRowImpl,   filterColumnImpl};

} // namespace
