// Body of the fused skin-tone pass, compiled once for the baseline instruction
// set and once for AVX2 + FMA. Everything here has internal linkage so the two
// builds never mix.

#include "SkinTone.h"

#include <opencv2/core/hal/intrin.hpp>

namespace {

using skintone::clampTo;

// Rounds half away from zero like lround; the value is never negative here.
// (No library inline is used in this file: a copy built for AVX2 must not
// stand in for the baseline one at link time.)
inline unsigned char byteOf(float v)
{
    return (unsigned char)(clampTo(v, 0.0f, 255.0f) + 0.5f);
}

void tonePixel(const unsigned char* p, unsigned char* o, const float* m)
{
    const float b = p[0], g = p[1], r = p[2], a = p[3];
    const float k = skintone::weightOf(r, g, b);
    if (k == 0.0f) {
        o[0] = p[0], o[1] = p[1], o[2] = p[2], o[3] = p[3];
        return;
    }
    const float nr = clampTo(m[0] * r + m[1] * g + m[2] * b, 0.0f, a);
    const float ng = clampTo(m[3] * r + m[4] * g + m[5] * b, 0.0f, a);
    const float nb = clampTo(m[6] * r + m[7] * g + m[8] * b, 0.0f, a);
    o[0] = byteOf(b + (nb - b) * k);
    o[1] = byteOf(g + (ng - g) * k);
    o[2] = byteOf(r + (nr - r) * k);
    o[3] = p[3];
}

#if CV_SIMD
using namespace cv;

inline void widenV(const v_uint8& v, v_float32 out[4])
{
    v_uint16 lo, hi;
    v_expand(v, lo, hi);
    v_uint32 q0, q1, q2, q3;
    v_expand(lo, q0, q1);
    v_expand(hi, q2, q3);
    out[0] = v_cvt_f32(v_reinterpret_as_s32(q0));
    out[1] = v_cvt_f32(v_reinterpret_as_s32(q1));
    out[2] = v_cvt_f32(v_reinterpret_as_s32(q2));
    out[3] = v_cvt_f32(v_reinterpret_as_s32(q3));
}

inline v_uint8 narrowV(const v_float32 in[4])
{
    return v_pack_u(v_pack(v_round(in[0]), v_round(in[1])), v_pack(v_round(in[2]), v_round(in[3])));
}
#endif

void toneRowImpl(const unsigned char* in, unsigned char* out, int width, const float* m)
{
    int i = 0;
#if CV_SIMD
    const int n = v_uint8::nlanes;
    const v_float32 zero = vx_setzero_f32();
    v_float32 mm[9];
    for (int k = 0; k < 9; ++k)
        mm[k] = vx_setall_f32(m[k]);
    for (; i + n <= width; i += n) {
        v_uint8 raw[4];
        v_load_deinterleave(in + i * 4, raw[0], raw[1], raw[2], raw[3]);
        v_float32 b[4], g[4], r[4], p[4];
        widenV(raw[0], b);
        widenV(raw[1], g);
        widenV(raw[2], r);
        for (int q = 0; q < 4; ++q)
            p[q] = skintone::weightOfV(r[q], g[q], b[q]);
        // No skin in the whole block: the pixels pass unchanged.
        if (v_check_all(v_max(v_max(p[0], p[1]), v_max(p[2], p[3])) == zero)) {
            v_store_interleave(out + i * 4, raw[0], raw[1], raw[2], raw[3]);
            continue;
        }
        v_float32 a[4];
        widenV(raw[3], a);
        v_float32 ob[4], og[4], orr[4];
        for (int q = 0; q < 4; ++q) {
            const v_float32 nr = v_min(v_max(v_fma(mm[0], r[q], v_fma(mm[1], g[q], mm[2] * b[q])), zero), a[q]);
            const v_float32 ng = v_min(v_max(v_fma(mm[3], r[q], v_fma(mm[4], g[q], mm[5] * b[q])), zero), a[q]);
            const v_float32 nb = v_min(v_max(v_fma(mm[6], r[q], v_fma(mm[7], g[q], mm[8] * b[q])), zero), a[q]);
            orr[q] = v_fma(nr - r[q], p[q], r[q]);
            og[q] = v_fma(ng - g[q], p[q], g[q]);
            ob[q] = v_fma(nb - b[q], p[q], b[q]);
        }
        v_store_interleave(out + i * 4, narrowV(ob), narrowV(og), narrowV(orr), raw[3]);
    }
    vx_cleanup();
#endif
    for (; i < width; ++i)
        tonePixel(in + i * 4, out + i * 4, m);
}

} // namespace
