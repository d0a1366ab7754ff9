#pragma once

// The builds made by vantor_add_simd_builds, picked at run time by
// simd::pick (the processor's widest set, capped by VANTOR_SIMD).
#include <SimdLevel.h>

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
