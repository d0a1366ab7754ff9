// Body of the fused skin-tone pass, compiled once for the baseline instruction
// set and once for AVX2 + FMA. Everything here has internal linkage so the two
// builds never mix.

#include <opencv2/core/hal/intrin.hpp>

namespace {

constexpr float kCbR = -0.1687f / 255.0f, kCbG = -0.3313f / 255.0f, kCbB = 0.5f / 255.0f;
constexpr float kCrR = 0.5f / 255.0f, kCrG = -0.4187f / 255.0f, kCrB = -0.0813f / 255.0f;
constexpr float kCbLow = -0.250f, kCbHigh = 0.025f, kCrLow = 0.025f, kCrHigh = 0.250f, kSpill = 0.03f;

inline float clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

inline float smoothstepS(float e0, float e1, float x)
{
    const float t = clampf((x - e0) / (e1 - e0), 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

// Rounds half away from zero like lround; the value is never negative here.
// (No library inline is used in this file: a copy built for AVX2 must not
// stand in for the baseline one at link time.)
inline unsigned char byteOf(float v)
{
    return (unsigned char)(clampf(v, 0.0f, 255.0f) + 0.5f);
}

void tonePixel(const unsigned char* p, unsigned char* o, const float* m)
{
    const float b = p[0], g = p[1], r = p[2], a = p[3];
    const float cb = kCbR * r + kCbG * g + kCbB * b;
    const float cr = kCrR * r + kCrG * g + kCrB * b;
    const float sCb = smoothstepS(kCbLow - kSpill, kCbLow, cb) * smoothstepS(kCbHigh + kSpill, kCbHigh, cb);
    const float sCr = smoothstepS(kCrLow - kSpill, kCrLow, cr) * smoothstepS(kCrHigh + kSpill, kCrHigh, cr);
    const float k = clampf(sCb * sCr, 0.0f, 1.0f);
    if (k == 0.0f) {
        o[0] = p[0], o[1] = p[1], o[2] = p[2], o[3] = p[3];
        return;
    }
    const float nr = clampf(m[0] * r + m[1] * g + m[2] * b, 0.0f, a);
    const float ng = clampf(m[3] * r + m[4] * g + m[5] * b, 0.0f, a);
    const float nb = clampf(m[6] * r + m[7] * g + m[8] * b, 0.0f, a);
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

inline v_float32 smoothstepV(const v_float32& x, float e0, float inv)
{
    const v_float32 t = v_min(v_max((x - vx_setall_f32(e0)) * vx_setall_f32(inv), vx_setzero_f32()), vx_setall_f32(1.0f));
    return t * t * (vx_setall_f32(3.0f) - t - t);
}
#endif

void toneRowImpl(const unsigned char* in, unsigned char* out, int width, const float* m)
{
    int i = 0;
#if CV_SIMD
    const int n = v_uint8::nlanes;
    const v_float32 cbR = vx_setall_f32(kCbR), cbG = vx_setall_f32(kCbG), cbB = vx_setall_f32(kCbB);
    const v_float32 crR = vx_setall_f32(kCrR), crG = vx_setall_f32(kCrG), crB = vx_setall_f32(kCrB);
    const v_float32 zero = vx_setzero_f32(), one = vx_setall_f32(1.0f);
    v_float32 mm[9];
    for (int k = 0; k < 9; ++k)
        mm[k] = vx_setall_f32(m[k]);
    const float invSpill = 1.0f / kSpill;
    for (; i + n <= width; i += n) {
        v_uint8 raw[4];
        v_load_deinterleave(in + i * 4, raw[0], raw[1], raw[2], raw[3]);
        v_float32 b[4], g[4], r[4], p[4];
        widenV(raw[0], b);
        widenV(raw[1], g);
        widenV(raw[2], r);
        for (int q = 0; q < 4; ++q) {
            const v_float32 cb = v_fma(cbR, r[q], v_fma(cbG, g[q], cbB * b[q]));
            const v_float32 cr = v_fma(crR, r[q], v_fma(crG, g[q], crB * b[q]));
            const v_float32 sCb = smoothstepV(cb, kCbLow - kSpill, invSpill) * smoothstepV(cb, kCbHigh + kSpill, -invSpill);
            const v_float32 sCr = smoothstepV(cr, kCrLow - kSpill, invSpill) * smoothstepV(cr, kCrHigh + kSpill, -invSpill);
            p[q] = v_min(v_max(sCb * sCr, zero), one);
        }
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
