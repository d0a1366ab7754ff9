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
