# Cross build for the printer's board (32-bit ARM, hard-float) with Debian's cross
# toolchain (g++-arm-linux-gnueabihf) and the armhf development packages installed
# side by side with the host's (multiarch: /usr/lib/arm-linux-gnueabihf).
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Programs built here run on the build machine under qemu-user: CTest and
# gtest_discover_tests start every test executable through the emulator below.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TOLVANE_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${TOLVANE_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOLVANE_ARMHF_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TOLVANE_ARMHF_TRIPLET})

# GCC notes every std::vector of 64-bit-aligned elements passed by value because
# GCC 7.1 changed how ARM passes them; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Libraries, headers and CMake package files come from the multiarch armhf folders
# of the build machine (the sysroot is /); programs (pkg-config, the emulator) are
# the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${TOLVANE_ARMHF_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the armhf .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TOLVANE_ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# The emulator runs ARM programs on the build machine with the armhf system
# libraries of the machine (libc6:armhf, libstdc++6:armhf, ... in
# /lib/arm-linux-gnueabihf), as the board runs them with its own. "-L /" keeps the
# dynamic loader and the C library of one package together: the cross toolchain's
# copies in /usr/arm-linux-gnueabihf may be of another release than libc6:armhf,
# and a loader of one release with a C library of another breaks fork().
find_program(TOLVANE_QEMU_ARM qemu-arm)
if(TOLVANE_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOLVANE_QEMU_ARM} -L /)
endif()
