# Build options shared by every target of the project.
option(VANTOR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VANTOR_BUILD_TESTS "Build the test suite" ON)
option(VANTOR_BUILD_BENCH "Build the benchmarks" ON)

if(VANTOR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # Lets a test skip what cannot run sanitized (an outside program loading our plugins).
  add_compile_definitions(VANTOR_SANITIZED)
endif()

# Our own code builds warning-free; generated and third-party code is added without this.
function(vantor_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Adds each named folder below the current one that has a CMakeLists.txt. The
# glob makes the build notice a folder that appears later.
function(vantor_add_present_subdirectories)
  file(GLOB present CONFIGURE_DEPENDS RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt")
  foreach(dir IN LISTS ARGN)
    if("${dir}/CMakeLists.txt" IN_LIST present)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# GStreamer plugins built here land in one folder, for GST_PLUGIN_PATH.
set(VANTOR_GST_PLUGIN_DIR "${CMAKE_BINARY_DIR}/gst-plugins")
