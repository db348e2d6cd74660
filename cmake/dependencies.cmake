# Libraries the daemon builds on; all come from Debian's packages (scripts/install-deps).
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS system date_time)
find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
find_package(CURL REQUIRED)
if(TOLVANE_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# Asio is compiled once, in its own small library, instead of in every translation
# unit that includes it: this keeps the build on a two-core machine short.
add_library(tolvane_asio STATIC ${CMAKE_SOURCE_DIR}/cmake/asio.cpp)
target_compile_definitions(tolvane_asio PUBLIC BOOST_ASIO_SEPARATE_COMPILATION)
target_link_libraries(tolvane_asio PUBLIC Boost::boost Boost::system Boost::date_time Threads::Threads)
