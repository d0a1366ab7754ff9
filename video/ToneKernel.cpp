#include "ToneKernel.h"

#include "ToneKernel.inl"

#include "SimdLevel.h"

namespace tonekernel {

#if defined(VANTOR_HAVE_AVX2)
void toneRowAvx2(const unsigned char* in, unsigned char* out, int width, const float m[9]);
#endif
#if defined(VANTOR_HAVE_AVX512)
void toneRowAvx512(const unsigned char* in, unsigned char* out, int width, const float m[9]);
#endif

namespace {

using ToneRow = void (*)(const unsigned char*, unsigned char*, int, const float*);

ToneRow bestToneRow()
{
    switch (simd::level()) {
#if defined(VANTOR_HAVE_AVX512)
    case simd::Level::Avx512:
        return toneRowAvx512;
#endif
#if defined(VANTOR_HAVE_AVX2)
    case simd::Level::Avx2:
        return toneRowAvx2;
#endif
    default:
        return toneRowImpl;
    }
}

} // namespace

void toneRow(const unsigned char* in, unsigned char* out, int width, const float m[9])
{
    static const ToneRow best = bestToneRow();
    best(in, out, width, m);
}

void toneRowBaseline(const unsigned char* in, unsigned char* out, int width, const float m[9])
{
    toneRowImpl(in, out, width, m);
}

} // namespace tonekernel
