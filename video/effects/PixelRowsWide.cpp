// The pixel row loops built for a wider instruction set; chosen at run time
// only on processors that have it.
#include "SimdTarget.h"

#include "PixelRows.inl"

namespace pixelrows {

const Table& VANTOR_SIMD_NAME(rows)()
{
    return kTable;
}

} // namespace pixelrows
