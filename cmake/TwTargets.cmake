# Shared build rules: warnings, sanitizers and the test helper.

set(TW_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Wunused -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough -Wconversion
    -Wsign-conversion)
# gcc's -Wconversion leaves sign conversions out for C++ and clang's takes them in; naming
# -Wsign-conversion makes both compilers check the same set.

if(TW_SANITIZE STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TW_SANITIZE STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(TW_SANITIZE STREQUAL "fuzz")
  # Everything is instrumented for the fuzzing engine; only the fuzz targets link it.
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TW_SANITIZE=fuzz needs clang (libFuzzer)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT TW_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TW_SANITIZE must be empty, asan, tsan or fuzz")
endif()

# tw_warnings(<target>): the suite's warning set on one target.
function(tw_warnings target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${TW_WARNINGS}>)
  if(TW_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# tw_test(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# One GoogleTest executable; each of its cases is a CTest entry of its own, named
# <name>.<Suite>.<Case>, so `ctest -R <name>` still selects the whole program. The cases are listed
# right after the program is linked, beside the rest of the build, rather than one program after
# another when ctest starts. Labels: unit,
# integration, privileged (needs root / namespaces), slow, threaded (runs under TSan in CI).
include(GoogleTest)
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
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    DISCOVERY_MODE POST_BUILD
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT})
  # The discovery script flattens list-valued properties, so labels and environment are set by a
  # file ctest reads right after the discovered cases.
  set(env "QEL_TEST_SOURCE_DIR=${CMAKE_SOURCE_DIR};QEL_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
  set(props_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  file(WRITE "${props_file}" "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES\n"
    "    LABELS [==[${T_LABELS}]==]\n    ENVIRONMENT [==[${env}]==])\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${props_file}")
endfunction()

# tw_fuzzer(<name> SOURCES ... LIBS ... [INCLUDES ...])
# A libFuzzer target over one parser of outside input; its seed corpus is corpus/<name>/ next to
# the calling CMakeLists.txt. In the fuzz build (clang) it is a libFuzzer program, listed in
# fuzzers.txt for scripts/fuzz.sh; in every other build the same source is linked with a replay
# main and the corpus (each seed whole and cut short) runs as the CTest entry <name>.corpus.
set(TW_FUZZ_LIST ${CMAKE_BINARY_DIR}/fuzzers.txt)
file(WRITE ${TW_FUZZ_LIST} "")
if(TW_SANITIZE STREQUAL "fuzz")
  add_custom_target(fuzzers)
endif()
function(tw_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS;INCLUDES" ${ARGN})
  set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  if(TW_SANITIZE STREQUAL "fuzz")
    set(target ${name})
    add_executable(${target} ${F_SOURCES})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers ${target})
    file(APPEND ${TW_FUZZ_LIST} "${name} ${corpus}\n")
  elseif(TW_BUILD_TESTS)
    set(target ${name}_replay)
    add_executable(${target} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/fuzz/replay_main.cpp)
    add_test(NAME ${name}.corpus COMMAND ${target} ${corpus})
    set_tests_properties(${name}.corpus PROPERTIES LABELS unit TIMEOUT 120)
  else()
    return()
  endif()
  target_include_directories(${target} PRIVATE ${F_INCLUDES})
  target_link_libraries(${target} PRIVATE ${F_LIBS})
  tw_warnings(${target})
endfunction()
