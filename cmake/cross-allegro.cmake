# Allegro's development files for the architecture being built for. Its
# runtime library installs beside the machine's own (liballegro4.4:arm64),
# but its development package cannot: it carries tools, so Debian allows one
# architecture of it at a time, and the machine keeps its own. The target's
# package is unpacked into the build tree instead (apt-get download and
# dpkg-deb -x, the same version as the runtime library), its allegro.pc is
# pointed at that tree's headers and at a link to the installed runtime
# library, and that folder goes first on pkg-config's path.
set(arch ${SINEPLOT_DEBIAN_ARCHITECTURE})
set(triplet ${CMAKE_LIBRARY_ARCHITECTURE})
if(NOT EXISTS /usr/lib/${triplet}/pkgconfig/allegro.pc)
  set(dev ${CMAKE_BINARY_DIR}/allegro-dev-${arch})
  if(NOT EXISTS ${dev}/pkgconfig/allegro.pc)
    # The runtime's package (liballegro4.4, or liballegro4.4t64 since Debian 13).
    execute_process(COMMAND dpkg -S /usr/lib/${triplet}/liballeg.so.4.4
                    OUTPUT_VARIABLE owner RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed)
      string(REGEX REPLACE ":.*" ":${arch}" runtime "${owner}")
      execute_process(COMMAND dpkg-query -W -f=\${Version} ${runtime}
                      OUTPUT_VARIABLE version RESULT_VARIABLE failed ERROR_QUIET)
    endif()
    if(failed)
      message(FATAL_ERROR "Allegro's ${arch} runtime is not installed: dpkg --add-architecture "
        "${arch} && apt-get update && apt-get install liballegro4.4:${arch} (liballegro4.4t64 "
        "since Debian 13)")
    endif()
    file(REMOVE_RECURSE ${dev})
    file(MAKE_DIRECTORY ${dev}/download)
    message(STATUS "Unpacking liballegro4-dev:${arch} ${version} into ${dev}")
    execute_process(COMMAND apt-get download liballegro4-dev:${arch}=${version}
                    WORKING_DIRECTORY ${dev}/download
                    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE apt_error)
    file(GLOB deb ${dev}/download/*.deb)
    if(failed OR NOT deb)
      message(FATAL_ERROR "Could not fetch liballegro4-dev:${arch} with apt-get download.\n${apt_error}")
    endif()
    execute_process(COMMAND dpkg-deb -x ${deb} ${dev}/root COMMAND_ERROR_IS_FATAL ANY)
    file(MAKE_DIRECTORY ${dev}/lib)
    file(CREATE_LINK /usr/lib/${triplet}/liballeg.so.4.4 ${dev}/lib/liballeg.so SYMBOLIC)
    file(READ ${dev}/root/usr/lib/${triplet}/pkgconfig/allegro.pc pc)
    string(REGEX REPLACE "\nlibdir=[^\n]*" "\nlibdir=${dev}/lib" pc "${pc}")
    string(REGEX REPLACE "\nincludedir=[^\n]*" "\nincludedir=${dev}/root/usr/include" pc "${pc}")
    file(WRITE ${dev}/pkgconfig/allegro.pc "${pc}")
  endif()
  set(ENV{PKG_CONFIG_LIBDIR} "${dev}/pkgconfig:$ENV{PKG_CONFIG_LIBDIR}")
endif()
