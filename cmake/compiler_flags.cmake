# Warning and sanitizer options for every target of the project, in one place.
#
# TOLVANE_SANITIZE is a comma-separated list handed to -fsanitize=
# ("address,undefined" for the default test build, "thread" for the threaded tests).
set(TOLVANE_SANITIZE "" CACHE STRING "Sanitizers to build with (e.g. address,undefined or thread)")

add_compile_options(-Wall -Wextra)
if(TOLVANE_WERROR)
  add_compile_options(-Werror)
endif()

# A fuzzing tree instruments every library for coverage, so the fuzzers see into
# the code they drive (the fuzzer's own main comes with -fsanitize=fuzzer on the
# fuzz targets only).
if(TOLVANE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(TOLVANE_SANITIZE)
  add_compile_options(-fsanitize=${TOLVANE_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${TOLVANE_SANITIZE})
  if(TOLVANE_SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC warns that ThreadSanitizer does not model the standalone fence in Asio's
    # handler invocation (std_fenced_block); the scheduler's own locking orders the
    # same accesses, so the warning must not fail the build.
    add_compile_options(-Wno-tsan)
  endif()
  if(TOLVANE_SANITIZE MATCHES "undefined")
    # A finding of UBSan must fail the test, not only print a line.
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# Environment of every test. In a cross build (cmake/toolchain-armhf.cmake) the test
# executables run under the emulator, and TOLVANE_EMULATOR holds its command words
# (space-separated) so a test can start the programs of this build the same way
# (testsupport::ChildProcess does it by itself).
set(TOLVANE_TEST_ENVIRONMENT "TOLVANE_BUILD_DIR=${CMAKE_BINARY_DIR}" "TOLVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator_words)
  list(APPEND TOLVANE_TEST_ENVIRONMENT "TOLVANE_EMULATOR=${emulator_words}")
endif()

# Helper for the test folders: one GoogleTest executable per subsystem, each test
# registered with CTest. Tests labelled "threaded" also run under ThreadSanitizer;
# tests labelled "no-emulation" are left out of the ARM run under the emulator
# (scripts/test-armhf).
function(tolvane_add_test name)
  cmake_parse_arguments(T "THREADED" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} tolvane_test_support GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  set(labels unit ${T_LABELS})
  if(T_THREADED)
    list(APPEND labels threaded)
  endif()
  # gtest_discover_tests hands its PROPERTIES on as one flat list, which splits
  # list values ("unit;threaded", the environment) into stray words; the labels,
  # time-out and environment are set instead by a script that CTest reads after
  # the list of discovered tests.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  set(properties ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
  file(WRITE ${properties}
    "if(${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES\n"
    "    LABELS [==[${labels}]==] TIMEOUT 300 ENVIRONMENT [==[${TOLVANE_TEST_ENVIRONMENT}]==])\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${properties})
endfunction()

# libFuzzer targets (fuzz/<name>/): built only with TOLVANE_FUZZ=ON and clang. Each
# keeps a small seed corpus in fuzz/<name>/corpus; scripts/test replays it, and
# scripts/fuzz runs every target for a while.
function(tolvane_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
endfunction()
