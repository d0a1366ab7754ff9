#include "PixelRows.inl"

#include <opencv2/core/utility.hpp>

namespace pixelrows {

#if defined(VANTOR_PIXEL_AVX2)
const Table& avx2Rows();
#endif

const Table& baselineRows()
{
    return kTable;
}

const Table& rows()
{
#if defined(VANTOR_PIXEL_AVX2)
    static const bool avx2 = cv::checkHardwareSupport(CV_CPU_AVX2);
    if (avx2)
        return avx2Rows();
#endif
    return kTable;
}

} // namespace pixelrows
