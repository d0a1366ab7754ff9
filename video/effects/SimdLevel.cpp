#include "SimdLevel.h"

#include <opencv2/core/utility.hpp>

#include <cstdlib>
#include <cstring>

namespace simd {

namespace {

Level detect()
{
    Level best = Level::Baseline;
#if defined(VANTOR_HAVE_AVX2)
    if (cv::checkHardwareSupport(CV_CPU_AVX2) && cv::checkHardwareSupport(CV_CPU_FMA3))
        best = Level::Avx2;
#endif
#if defined(VANTOR_HAVE_AVX512)
    if (best == Level::Avx2 && cv::checkHardwareSupport(CV_CPU_AVX512_SKX))
        best = Level::Avx512;
#endif
    const char* cap = std::getenv("VANTOR_SIMD");
    if (cap && std::strcmp(cap, "baseline") == 0)
        return Level::Baseline;
    if (cap && std::strcmp(cap, "avx2") == 0 && best == Level::Avx512)
        return Level::Avx2;
    return best;
}

} // namespace

Level level()
{
    static const Level chosen = detect();
    return chosen;
}

} // namespace simd
