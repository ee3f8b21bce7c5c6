# Shared build rules: warnings, sanitizers and the test helper.

set(TW_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Wunused -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough)

if(TW_SANITIZE STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TW_SANITIZE STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TW_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TW_SANITIZE must be empty, asan or tsan")
endif()

# tw_warnings(<target>): the suite's warning set on one target.
function(tw_warnings target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${TW_WARNINGS}>)
  if(TW_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# tw_test(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# One GoogleTest executable registered with CTest. Labels: unit, integration,
# privileged (needs root / namespaces), slow, threaded (runs under TSan in CI).
function(tw_test name)
  if(NOT TW_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  tw_warnings(${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QEL_TEST_SOURCE_DIR=${CMAKE_SOURCE_DIR};QEL_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()
