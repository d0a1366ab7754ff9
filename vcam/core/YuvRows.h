// The row loops of the YUV conversions: a scalar reference and vector builds
// (SSE2, AVX2, AVX-512) picked at run time, all byte-identical. Each loop takes
// 32-bit pixels (blue, green, red, x) and the integer formulas of
// FrameConverter.h; a vector loop hands the last few pixels of its run to the
// scalar one.
#pragma once

#include <SimdLevel.h>

#include <cstddef>
#include <cstdint>

namespace vcam::yuv {

struct Rows
{
    // `n` luma bytes (rounded formula) of `n` pixels.
    void (*luma)(const uint8_t* src, uint8_t* y, size_t n);
    // `n` U and V bytes from pixels 0, 2, 4, ... of a row.
    void (*chromaI420)(const uint8_t* src, uint8_t* u, uint8_t* v, size_t n);
    // `n` interleaved U, V pairs, each the truncated mean of the four values
    // of a 2x2 block whose rows are `top` and `bottom`.
    void (*chromaNV12)(const uint8_t* top, const uint8_t* bottom, uint8_t* uv, size_t n);
    // `n` Y0 U Y1 V quadruples of pixel pairs (unrounded luma, the left
    // pixel's chroma).
    void (*yuy2)(const uint8_t* src, uint8_t* dst, size_t n);
};

// The reference loops, one pixel at a time.
const Rows& scalarRows();
// A level's vector loops, or null where this build or processor has none
// (Baseline is SSE2 on x86).
const Rows* vectorRows(simd::Level level);
// The widest loops simd::level() allows: what conversions use.
const Rows& rows();

} // namespace vcam::yuv
