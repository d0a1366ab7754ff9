# Build options shared by every target of the project.
option(VANTOR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VANTOR_BUILD_TESTS "Build the test suite" ON)
option(VANTOR_BUILD_BENCH "Build the benchmarks" ON)

if(VANTOR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Our own code builds warning-free; generated and third-party code is added without this.
function(vantor_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
