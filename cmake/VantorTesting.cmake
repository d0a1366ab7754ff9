# vantor_add_test(NAME <name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#                 [TIMEOUT <seconds>] [PLATFORM <qpa>] [ENV <VAR=value...>])
# Builds one test program and registers it with CTest. Every run gets a private,
# fresh home, config, runtime and temporary folder (tests/fixtures/isolated),
# so tests never see the user's settings or each other's files.
function(vantor_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT;PLATFORM" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBS})
  vantor_strict_warnings(${T_NAME})
  vantor_add_test_run(NAME ${T_NAME} PROGRAM ${T_NAME} TIMEOUT "${T_TIMEOUT}" PLATFORM "${T_PLATFORM}"
    LABELS ${T_LABELS} ENV ${T_ENV})
endfunction()

# vantor_add_test_run(NAME <name> PROGRAM <test target> [LABELS ...] [TIMEOUT s]
#                     [PLATFORM qpa] [ENV <VAR=value...>])
# Registers one more run of an existing test program, isolated the same way,
# e.g. with another environment.
function(vantor_add_test_run)
  cmake_parse_arguments(T "" "NAME;PROGRAM;TIMEOUT;PLATFORM" "LABELS;ENV" ${ARGN})
  if(NOT T_PLATFORM)
    set(T_PLATFORM offscreen)
  endif()
  add_test(NAME ${T_NAME}
    COMMAND "${PROJECT_SOURCE_DIR}/tests/fixtures/isolated" $<TARGET_FILE:${T_PROGRAM}>)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=${T_PLATFORM};VANTOR_SOURCE_DIR=${PROJECT_SOURCE_DIR};GST_PLUGIN_PATH=${VANTOR_GST_PLUGIN_DIR};${T_ENV}")
endfunction()

# vantor_add_fuzzer(NAME <name> TEST <ctest name> SOURCES <files...>
#                   [HEADERS <files...>] [INCLUDES <dirs...>] [QT] [SECONDS s]
#                   [CORPUS_SEEDS <dir>] [ARGS <libFuzzer options...>])
# Builds a libFuzzer program with clang (even when the project uses g++; with
# ASan and UBSan), runs it for SECONDS (default 10) as part of the test suite,
# and adds <name>_long for a five-minute run. QT links the system's Qt Core.
# New inputs go to the build's corpus; seeds stay as they are. Returns without
# a fuzzer when clang is missing.
function(vantor_add_fuzzer)
  cmake_parse_arguments(F "QT" "NAME;TEST;SECONDS;CORPUS_SEEDS" "SOURCES;HEADERS;INCLUDES;ARGS" ${ARGN})
  find_program(VANTOR_CLANGXX NAMES clang++ clang++-14)
  if(NOT VANTOR_CLANGXX)
    message(STATUS "clang++ not found: ${F_NAME} left out")
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS 10)
  endif()
  set(fuzzer "${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}")
  set(includes)
  foreach(dir IN LISTS F_INCLUDES)
    list(APPEND includes "-I${dir}")
  endforeach()
  set(qt)
  if(F_QT)
    set(qt -fPIC "-I$<JOIN:$<TARGET_PROPERTY:Qt6::Core,INTERFACE_INCLUDE_DIRECTORIES>,$<SEMICOLON>-I>" "$<TARGET_FILE:Qt6::Core>")
  endif()
  add_custom_command(OUTPUT "${fuzzer}"
    COMMAND "${VANTOR_CLANGXX}" -std=c++20 -g -O1 -Wall -Wextra -Werror
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
            ${includes} ${F_SOURCES} ${qt} -o "${fuzzer}"
    DEPENDS ${F_SOURCES} ${F_HEADERS}
    COMMENT "Building ${F_NAME} with clang"
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(${F_NAME}_bin ALL DEPENDS "${fuzzer}")

  set(corpus "${CMAKE_CURRENT_BINARY_DIR}/corpus")
  file(MAKE_DIRECTORY "${corpus}")
  set(inputs "${corpus}" ${F_CORPUS_SEEDS})
  set(options -max_len=4096 -rss_limit_mb=2048 -print_final_stats=1 ${F_ARGS})
  add_test(NAME ${F_TEST}
    COMMAND "${PROJECT_SOURCE_DIR}/tests/fixtures/isolated" "${fuzzer}" ${inputs} -max_total_time=${F_SECONDS} ${options})
  set_tests_properties(${F_TEST} PROPERTIES TIMEOUT 180 LABELS "fuzz"
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1")
  add_custom_target(${F_NAME}_long
    COMMAND "${fuzzer}" ${inputs} -max_total_time=300 ${options}
    DEPENDS ${F_NAME}_bin
    USES_TERMINAL VERBATIM)
endfunction()
