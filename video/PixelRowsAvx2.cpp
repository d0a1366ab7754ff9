// The pixel row loops built for AVX2 (32-byte vectors); chosen at run time only
// on processors that have it. As for the tone pass, the features this file is
// compiled for are declared before OpenCV's vector headers.
#include <immintrin.h>

#define CV_SSE3 1
#define CV_SSSE3 1
#define CV_SSE4_1 1
#define CV_SSE4_2 1
#define CV_POPCNT 1
#define CV_AVX 1
#define CV_FP16 1
#define CV_FMA3 1
#define CV_AVX2 1
#define CV_CPU_DISPATCH_MODE AVX2

#include "PixelRows.inl"

static_assert(CV_SIMD256, "this file must build the 256-bit vector code");

namespace pixelrows {

const Table& avx2Rows()
{
    return kTable;
}

} // namespace pixelrows
