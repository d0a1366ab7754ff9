#include "PixelRows.inl"

#include "SimdBuilds.h"

namespace pixelrows {

// The wide builds' tables (SimdTarget.h).
const Table& rowsAvx2();
const Table& rowsAvx512();

const Table& baselineRows()
{
    return kTable;
}

const Table& rows()
{
    using Rows = const Table& (*)();
    static const Table& best = simd::pick<Rows>(baselineRows, VANTOR_AVX2_BUILD(rows), VANTOR_AVX512_BUILD(rows))();
    return best;
}

} // namespace pixelrows
