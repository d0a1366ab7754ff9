// The fused skin-tone pass built for a wider instruction set; chosen at run
// time only on processors that have it.
#include "SimdTarget.h"

#include "ToneKernel.inl"

namespace tonekernel {

void VANTOR_SIMD_NAME(toneRow)(const unsigned char* in, unsigned char* out, int width, const float m[9])
{
    toneRowImpl(in, out, width, m);
}

} // namespace tonekernel
