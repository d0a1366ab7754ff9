#include "PixelRows.inl"

#include "SimdLevel.h"

namespace pixelrows {

#if defined(VANTOR_HAVE_AVX2)
const Table& rowsAvx2();
#endif
#if defined(VANTOR_HAVE_AVX512)
const Table& rowsAvx512();
#endif

const Table& baselineRows()
{
    return kTable;
}

namespace {

const Table& bestRows()
{
    switch (simd::level()) {
#if defined(VANTOR_HAVE_AVX512)
    case simd::Level::Avx512:
        return rowsAvx512();
#endif
#if defined(VANTOR_HAVE_AVX2)
    case simd::Level::Avx2:
        return rowsAvx2();
#endif
    default:
        return kTable;
    }
}

} // namespace

const Table& rows()
{
    static const Table& best = bestRows();
    return best;
}

} // namespace pixelrows
