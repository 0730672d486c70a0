# Cross-compiling for 64-bit ARM Linux (arm64) with Debian's cross compiler,
# against the arm64 libraries installed beside the machine's own (multiarch).
# The program runs under qemu (qemu-aarch64, or qemu-aarch64-static), which
# the tests use through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Debian's name for the architecture: that of the packages and the .deb.
set(SINEPLOT_DEBIAN_ARCHITECTURE arm64)
find_program(SINEPLOT_QEMU NAMES qemu-aarch64-static qemu-aarch64)
if(SINEPLOT_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SINEPLOT_QEMU})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)  # the tests say it is missing
endif()

# pkg-config sees only the arm64 .pc files (and the architecture-independent
# ones), never the machine's own: cmake/cross-allegro.cmake puts Allegro's
# in front.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})

# No run path: the libraries are in the system's arm64 directories, and a
# run path into the build tree would make the packaged binary differ by the
# tree's place. It has to be in the cache to reach the link step.
set(CMAKE_SKIP_RPATH ON CACHE BOOL "Do not give the program a run path")
