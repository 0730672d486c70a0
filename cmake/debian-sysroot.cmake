# For a toolchain file: the sysroot that a cross build for the Debian
# architecture SINEPLOT_DEBIAN_ARCHITECTURE compiles, links and runs against,
# made of Debian's packages SINEPLOT_SYSROOT_PACKAGES of that architecture
# and their dependencies by scripts/debian-sysroot.sh, once per build tree (in
# sysroot-ARCHITECTURE/), or again when the list of packages changes. The
# machine's dpkg gets no other architecture, and nothing is installed into
# it. Sets CMAKE_SYSROOT, and points pkg-config at the sysroot's .pc files
# alone.

# The test projects that CMake builds while configuring read this file too,
# and get the sysroot of the build that they are for.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SINEPLOT_SYSROOT)
if(NOT SINEPLOT_SYSROOT)
  set(SINEPLOT_SYSROOT ${CMAKE_BINARY_DIR}/sysroot-${SINEPLOT_DEBIAN_ARCHITECTURE} CACHE PATH
    "The ${SINEPLOT_DEBIAN_ARCHITECTURE} libraries and headers, made from Debian's packages")
endif()

string(JOIN " " sineplot_packages ${SINEPLOT_SYSROOT_PACKAGES})
set(sineplot_made "")
if(EXISTS ${SINEPLOT_SYSROOT}/DEBIAN/sysroot-packages)
  file(STRINGS ${SINEPLOT_SYSROOT}/DEBIAN/sysroot-packages sineplot_made)
endif()
if(NOT sineplot_made STREQUAL sineplot_packages)
  message(STATUS "Making the ${SINEPLOT_DEBIAN_ARCHITECTURE} sysroot in ${SINEPLOT_SYSROOT} "
    "from Debian's packages (mmdebstrap, once per build tree)")
  execute_process(
    COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/debian-sysroot.sh ${SINEPLOT_DEBIAN_ARCHITECTURE}
            ${SINEPLOT_SYSROOT} ${SINEPLOT_SYSROOT_PACKAGES}
    RESULT_VARIABLE failed OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(failed)
    message(FATAL_ERROR "${log}\nCould not make the ${SINEPLOT_DEBIAN_ARCHITECTURE} sysroot "
      "(it needs mmdebstrap, and apt sources for this system's release).")
  endif()
endif()

set(CMAKE_SYSROOT ${SINEPLOT_SYSROOT})
# Programs are the machine's own; libraries, headers and packages the
# sysroot's alone.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
  ${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
