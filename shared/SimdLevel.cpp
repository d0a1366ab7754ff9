#include "SimdLevel.h"

#include <cstdlib>
#include <cstring>

namespace simd {

namespace {

Level detect()
{
    Level best = Level::Baseline;
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
    // GCC's run-time checks include the operating system's saving of the wide
    // registers (XGETBV), not only the processor's feature bits.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        best = Level::Avx2;
    if (best == Level::Avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
        && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl")
        && __builtin_cpu_supports("avx512cd"))
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
