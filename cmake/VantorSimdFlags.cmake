# Compiler flags of the wider x86 builds of the vector loops, shared by the
# picture kernels (video/) and the virtual camera's conversions (vcam/core,
# also cross-compiled). simd::level() picks AVX2 only with FMA, and AVX-512
# only with these five extensions.
set(VANTOR_AVX2_FLAGS -mavx2 -mfma -mf16c -mpopcnt)
set(VANTOR_AVX512_FLAGS ${VANTOR_AVX2_FLAGS} -mavx512f -mavx512bw -mavx512dq -mavx512vl -mavx512cd)
# GCC 12 warns about the deliberately undefined vectors inside its own AVX-512
# headers when optimising.
set(VANTOR_AVX512_QUIET)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(VANTOR_AVX512_QUIET -Wno-maybe-uninitialized)
endif()
