#include "ToneKernel.h"

#include "ToneKernel.inl"

#include "SimdBuilds.h"

namespace tonekernel {

// The wide builds' entry points (SimdTarget.h).
void toneRowAvx2(const unsigned char* in, unsigned char* out, int width, const float m[9]);
void toneRowAvx512(const unsigned char* in, unsigned char* out, int width, const float m[9]);

void toneRow(const unsigned char* in, unsigned char* out, int width, const float m[9])
{
    using ToneRow = void (*)(const unsigned char*, unsigned char*, int, const float*);
    static const ToneRow best =
        simd::pick<ToneRow>(toneRowImpl, VANTOR_AVX2_BUILD(toneRow), VANTOR_AVX512_BUILD(toneRow));
    best(in, out, width, m);
}

void toneRowBaseline(const unsigned char* in, unsigned char* out, int width, const float m[9])
{
    toneRowImpl(in, out, width, m);
}

} // namespace tonekernel
