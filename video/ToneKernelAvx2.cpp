// The fused skin-tone pass built for AVX2 + FMA (eight float lanes); chosen at
// run time only on processors that have both. OpenCV's headers enable their
// 256-bit vector types only inside OpenCV's own build, so the features this
// file is compiled for are declared here, and the vector types get a namespace
// of their own for this build (no symbol is shared with the baseline build).
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

#include "ToneKernel.inl"

static_assert(CV_SIMD256, "this file must build the 256-bit vector code");

namespace tonekernel {

void toneRowAvx2(const unsigned char* in, unsigned char* out, int width, const float m[9])
{
    toneRowImpl(in, out, width, m);
}

} // namespace tonekernel
