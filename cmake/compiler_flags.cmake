# Warning and sanitizer options for every target of the project, in one place.
#
# TOLVANE_SANITIZE is a comma-separated list handed to -fsanitize=
# ("address,undefined" for the default test build, "thread" for the threaded tests).
set(TOLVANE_SANITIZE "" CACHE STRING "Sanitizers to build with (e.g. address,undefined or thread)")

add_compile_options(-Wall -Wextra)
if(TOLVANE_WERROR)
  add_compile_options(-Werror)
endif()

if(TOLVANE_SANITIZE)
  add_compile_options(-fsanitize=${TOLVANE_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${TOLVANE_SANITIZE})
  if(TOLVANE_SANITIZE MATCHES "undefined")
    # A finding of UBSan must fail the test, not only print a line.
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# Helper for the test folders: one GoogleTest executable per subsystem, each test
# registered with CTest. Tests labelled "threaded" also run under ThreadSanitizer.
function(tolvane_add_test name)
  cmake_parse_arguments(T "THREADED" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} tolvane_test_support GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  set(labels unit ${T_LABELS})
  if(T_THREADED)
    list(APPEND labels threaded)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}" TIMEOUT 300
               ENVIRONMENT "TOLVANE_BUILD_DIR=${CMAKE_BINARY_DIR};TOLVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
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
