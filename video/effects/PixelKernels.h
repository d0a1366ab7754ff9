#pragma once

// Helpers for the per-pixel effect loops: a block of B8G8R8A8 pixels is split
// into its four channels and widened to float lanes, worked on, and narrowed
// back with rounding and saturation. Values stay on the 0..255 scale.

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>

namespace kernels {

inline unsigned char toByte(float v)
{
    return (unsigned char)std::lround(std::clamp(v, 0.0f, 255.0f));
}

#if CV_SIMD
using cv::v_float32;
using cv::v_uint8;

// Number of pixels one block holds.
inline int blockPixels()
{
    return v_uint8::nlanes;
}

struct Block
{
    v_uint8 raw[4];    // B, G, R, A
    v_float32 f[4][4]; // [channel][quarter of the block]
};

inline void widen(const v_uint8& v, v_float32 out[4])
{
    using namespace cv;
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

inline v_uint8 narrow(const v_float32 in[4])
{
    using namespace cv;
    const v_int16 lo = v_pack(v_round(in[0]), v_round(in[1]));
    const v_int16 hi = v_pack(v_round(in[2]), v_round(in[3]));
    return v_pack_u(lo, hi);
}

// Loads a block; `channels` says how many colour channels to widen (alpha is
// widened only when asked for).
inline void load(const unsigned char* p, Block& b, int channels)
{
    cv::v_load_deinterleave(p, b.raw[0], b.raw[1], b.raw[2], b.raw[3]);
    for (int c = 0; c < channels; ++c)
        widen(b.raw[c], b.f[c]);
}

inline void store(unsigned char* p, const v_uint8& b, const v_uint8& g, const v_uint8& r, const v_uint8& a)
{
    cv::v_store_interleave(p, b, g, r, a);
}

inline v_float32 clamp(const v_float32& v, const v_float32& lo, const v_float32& hi)
{
    return cv::v_min(cv::v_max(v, lo), hi);
}
#endif

} // namespace kernels
