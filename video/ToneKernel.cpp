#include "ToneKernel.h"

#include "ToneKernel.inl"

#include <opencv2/core/utility.hpp>

namespace tonekernel {

#if defined(VANTOR_TONE_AVX2)
void toneRowAvx2(const unsigned char* in, unsigned char* out, int width, const float m[9]);
#endif

void toneRow(const unsigned char* in, unsigned char* out, int width, const float m[9])
{
#if defined(VANTOR_TONE_AVX2)
    static const bool avx2 = cv::checkHardwareSupport(CV_CPU_AVX2) && cv::checkHardwareSupport(CV_CPU_FMA3);
    if (avx2) {
        toneRowAvx2(in, out, width, m);
        return;
    }
#endif
    toneRowImpl(in, out, width, m);
}

void toneRowBaseline(const unsigned char* in, unsigned char* out, int width, const float m[9])
{
    toneRowImpl(in, out, width, m);
}

} // namespace tonekernel
