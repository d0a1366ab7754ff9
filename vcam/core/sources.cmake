# The virtual camera core's sources, for the Linux build (vcam/core) and the
# Windows builds (vcam/cross) alike. On x86 the YUV row loops are built once
# more for SSE2, AVX2 and AVX-512, each file with its own instruction set; the
# code picks one at run time. Sets vcam_core_sources and vcam_core_definitions.
set(_core "${CMAKE_CURRENT_LIST_DIR}")
set(vcam_core_sources
  "${_core}/ClientRegistration.cpp" "${_core}/ClientRegistration.h"
  "${_core}/Formats.h"
  "${_core}/FrameConverter.cpp" "${_core}/FrameConverter.h"
  "${_core}/FrameDelivery.cpp" "${_core}/FrameDelivery.h"
  "${_core}/Pacer.cpp" "${_core}/Pacer.h"
  "${_core}/Placeholder.cpp" "${_core}/Placeholder.h"
  "${_core}/PlaceholderArt.h"
  "${_core}/YuvFormulas.h"
  "${_core}/YuvRows.cpp" "${_core}/YuvRows.h" "${_core}/YuvRowsVector.inl")
set(vcam_core_definitions)
# MinGW's GCC keeps Windows' 16-byte stack alignment and may spill wide
# registers with aligned moves; the assembler makes them unaligned.
macro(_vcam_simd_build name file)
  set(_flags ${ARGN})
  if(WIN32 AND NOT "${name}" STREQUAL "SSE2")
    list(APPEND _flags "-Wa,-muse-unaligned-vector-move")
  endif()
  set_source_files_properties("${_core}/${file}" PROPERTIES COMPILE_OPTIONS "${_flags}")
  list(APPEND vcam_core_sources "${_core}/${file}")
  list(APPEND vcam_core_definitions VANTOR_YUV_${name})
endmacro()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|i686|i386")
  include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/VantorSimdFlags.cmake")
  _vcam_simd_build(SSE2 YuvRowsSse2.cpp -msse2)
  _vcam_simd_build(AVX2 YuvRowsAvx2.cpp ${VANTOR_AVX2_FLAGS})
  _vcam_simd_build(AVX512 YuvRowsAvx512.cpp ${VANTOR_AVX512_FLAGS} ${VANTOR_AVX512_QUIET})
endif()
