// The skin-tone rule shared by the tone stage's fused pass and the skin mask
// effect: chroma from 0..255 components on the 0..1 scale, and a weight that
// is 1 inside the skin box (Cb in [-0.250, 0.025], Cr in [0.025, 0.250]) and
// falls off with smoothstep over a spill margin around it. Each chroma rises
// over [lower - spill, lower] and falls over [upper, upper + spill]; both
// ramps are 1 inside the box, so their product equals the one ramp that
// applies on either side.
//
// Everything here has internal linkage: the fused pass is compiled once per
// instruction set, and a function with external linkage built for AVX2 could
// stand in for the baseline one at link time.
#pragma once

#include <opencv2/core/hal/intrin.hpp>

namespace skintone {
namespace {

constexpr float kCbR = -0.1687f / 255.0f, kCbG = -0.3313f / 255.0f, kCbB = 0.5f / 255.0f;
constexpr float kCrR = 0.5f / 255.0f, kCrG = -0.4187f / 255.0f, kCrB = -0.0813f / 255.0f;
constexpr float kCbLow = -0.250f, kCbHigh = 0.025f;
constexpr float kCrLow = 0.025f, kCrHigh = 0.250f;
constexpr float kSpill = 0.03f;

inline float clampTo(float v, float lo, float hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

inline float smoothstep(float e0, float e1, float x)
{
    const float t = clampTo((x - e0) / (e1 - e0), 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

// The weight of chroma (cb, cr), 0..1.
inline float weight(float cb, float cr)
{
    const float inCb = smoothstep(kCbLow - kSpill, kCbLow, cb) * smoothstep(kCbHigh + kSpill, kCbHigh, cb);
    const float inCr = smoothstep(kCrLow - kSpill, kCrLow, cr) * smoothstep(kCrHigh + kSpill, kCrHigh, cr);
    return clampTo(inCb * inCr, 0.0f, 1.0f);
}

// The weight of a pixel's 0..255 components.
inline float weightOf(float r, float g, float b)
{
    return weight(kCbR * r + kCbG * g + kCbB * b, kCrR * r + kCrG * g + kCrB * b);
}

#if CV_SIMD
// smoothstep(e0, e1, x) with inv = 1 / (e1 - e0).
inline cv::v_float32 smoothstepV(const cv::v_float32& x, float e0, float inv)
{
    using namespace cv;
    const v_float32 t =
        v_min(v_max((x - vx_setall_f32(e0)) * vx_setall_f32(inv), vx_setzero_f32()), vx_setall_f32(1.0f));
    return t * t * (vx_setall_f32(3.0f) - t - t);
}

// weightOf, lane by lane.
inline cv::v_float32 weightOfV(const cv::v_float32& r, const cv::v_float32& g, const cv::v_float32& b)
{
    using namespace cv;
    const v_float32 cb = v_fma(vx_setall_f32(kCbR), r, v_fma(vx_setall_f32(kCbG), g, vx_setall_f32(kCbB) * b));
    const v_float32 cr = v_fma(vx_setall_f32(kCrR), r, v_fma(vx_setall_f32(kCrG), g, vx_setall_f32(kCrB) * b));
    const float invSpill = 1.0f / kSpill;
    const v_float32 inCb = smoothstepV(cb, kCbLow - kSpill, invSpill) * smoothstepV(cb, kCbHigh + kSpill, -invSpill);
    const v_float32 inCr = smoothstepV(cr, kCrLow - kSpill, invSpill) * smoothstepV(cr, kCrHigh + kSpill, -invSpill);
    return v_min(v_max(inCb * inCr, vx_setzero_f32()), vx_setall_f32(1.0f));
}
#endif

} // namespace
} // namespace skintone
