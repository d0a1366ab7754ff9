#pragma once

// Included first by the sources that are built once more for a wider
// instruction set (see vantor_add_simd_builds in this folder's CMakeLists.txt).
// OpenCV's headers enable their wide vector types only inside OpenCV's own
// build, so the features the file is compiled for are declared here; OpenCV
// then puts the vector types in a namespace of their own for this build, and
// VANTOR_SIMD_NAME gives each build's entry points their own names.
#include <immintrin.h>

#if defined(VANTOR_SIMD_AVX2) || defined(VANTOR_SIMD_AVX512)
#define CV_SSE3 1
#define CV_SSSE3 1
#define CV_SSE4_1 1
#define CV_SSE4_2 1
#define CV_POPCNT 1
#define CV_AVX 1
#define CV_FP16 1
#define CV_FMA3 1
#define CV_AVX2 1
#endif

#if defined(VANTOR_SIMD_AVX512)
#define CV_AVX_512F 1
#define CV_AVX512_COMMON 1
#define CV_AVX512_SKX 1
#define CV_CPU_DISPATCH_MODE AVX512_SKX
#define VANTOR_SIMD_NAME(name) name##Avx512
#elif defined(VANTOR_SIMD_AVX2)
#define CV_CPU_DISPATCH_MODE AVX2
#define VANTOR_SIMD_NAME(name) name##Avx2
#else
#error "build this file through vantor_add_simd_builds"
#endif
