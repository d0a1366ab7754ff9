#pragma once

// Which of the builds made by vantor_add_simd_builds the row loops use.
namespace simd {

enum class Level { Baseline, Avx2, Avx512 };

// The widest instruction set that both this processor and this build have,
// capped by the environment variable VANTOR_SIMD ("baseline" or "avx2"), so
// every build can be checked and timed on one machine. Read once.
Level level();

// The entry point for level(): `avx512` or `avx2` where allowed and built
// (null otherwise, see VANTOR_AVX2_BUILD), else `baseline`.
template <typename Entry>
Entry pick(Entry baseline, Entry avx2, Entry avx512)
{
    const Level allowed = level();
    if (allowed == Level::Avx512 && avx512)
        return avx512;
    if (allowed != Level::Baseline && avx2)
        return avx2;
    return baseline;
}

} // namespace simd

// `name`'s entry point in a wide build (see SimdTarget.h), or null where this
// build has none.
#if defined(VANTOR_HAVE_AVX2)
#define VANTOR_AVX2_BUILD(name) name##Avx2
#else
#define VANTOR_AVX2_BUILD(name) nullptr
#endif
#if defined(VANTOR_HAVE_AVX512)
#define VANTOR_AVX512_BUILD(name) name##Avx512
#else
#define VANTOR_AVX512_BUILD(name) nullptr
#endif
