# Cross-compiling for 64-bit ARM Linux (arm64) with Debian's cross compiler,
# against a sysroot in the build tree that holds Debian's arm64 packages of
# the libraries (cmake/debian-sysroot.cmake). The program runs under qemu
# (qemu-aarch64, or qemu-aarch64-static) with the sysroot as its root for
# libraries, which the tests use through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Debian's name for the architecture: that of the packages and the .deb.
set(SINEPLOT_DEBIAN_ARCHITECTURE arm64)
# The cross compiler brings its own C and C++ libraries for building (the
# -cross packages it depends on), and searches them before the sysroot; the
# sysroot adds the libraries the program links against, and the C++
# runtime, which qemu needs to run it.
set(SINEPLOT_SYSROOT_PACKAGES liballegro4-dev libx11-dev libstdc++6)
include(${CMAKE_CURRENT_LIST_DIR}/debian-sysroot.cmake)

find_program(SINEPLOT_QEMU NAMES qemu-aarch64-static qemu-aarch64)
if(NOT SINEPLOT_QEMU)
  set(SINEPLOT_QEMU qemu-aarch64-static)  # the tests say it is missing
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${SINEPLOT_QEMU} -L ${CMAKE_SYSROOT})

# No run path: the libraries are found in the system's directories (in the
# sysroot, when under qemu), and a run path into the build tree would make
# the packaged binary differ by the tree's place. It has to be in the cache
# to reach the link step.
set(CMAKE_SKIP_RPATH ON CACHE BOOL "Do not give the program a run path")
