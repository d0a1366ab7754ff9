# Cross-builds the Windows parts with MinGW-w64, once for 64-bit and once for
# 32-bit, as separate CMake builds under <build>/windows/<arch>. Optional: left
# out when the cross compilers are missing, and in sanitizer builds (the
# sanitizers do not cross-compile). Sets VANTOR_WINDOWS_CROSS_DIR (empty when
# off) for the tests that run the 64-bit programs under Wine.
include(ExternalProject)

option(VANTOR_WINDOWS_CROSS "Cross-build the Windows parts with MinGW-w64 when available" ON)
find_program(VANTOR_MINGW64_CXX x86_64-w64-mingw32-g++)
find_program(VANTOR_MINGW32_CXX i686-w64-mingw32-g++)

set(VANTOR_WINDOWS_CROSS_DIR "" CACHE INTERNAL "")
if(NOT VANTOR_WINDOWS_CROSS OR VANTOR_SANITIZE)
  return()
endif()
if(NOT VANTOR_MINGW64_CXX OR NOT VANTOR_MINGW32_CXX)
  message(STATUS "MinGW-w64 cross compilers not found: Windows builds left out")
  return()
endif()

set(VANTOR_WINDOWS_CROSS_DIR "${CMAKE_BINARY_DIR}/windows" CACHE INTERNAL "")
set(_launcher "")
if(CMAKE_CXX_COMPILER_LAUNCHER)
  set(_launcher "-DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}"
                "-DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}")
endif()
# The benchmarks run a Windows test program under Wine too.
set(_windows_programs OFF)
if(VANTOR_BUILD_TESTS OR VANTOR_BUILD_BENCH)
  set(_windows_programs ON)
endif()
foreach(arch x86_64 i686)
  ExternalProject_Add(vantor_windows_${arch}
    SOURCE_DIR "${PROJECT_SOURCE_DIR}/cmake/windows"
    BINARY_DIR "${VANTOR_WINDOWS_CROSS_DIR}/${arch}"
    CMAKE_ARGS
      "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchains/${arch}-w64-mingw32.cmake"
      "-DCMAKE_BUILD_TYPE=Release"
      "-DVANTOR_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
      "-DVANTOR_BUILD_TESTS=${_windows_programs}"
      "-DVANTOR_PLACEHOLDER_ART=${CMAKE_BINARY_DIR}/vcam/core/PlaceholderArt.cpp"
      ${_launcher}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD OFF)
endforeach()
