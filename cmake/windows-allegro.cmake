# Allegro 4 for Windows, built once per build tree as a static library from
# Debian's source package of the library (the upstream 4.4.3.1 tarball), with
# the changes in windows/allegro-win64.patch: the keyboard under Wine, and
# addresses kept whole in 64 bits. Defines allegro_windows.
include(ExternalProject)

set(allegro_tarball_name allegro4.4_4.4.3.1.orig.tar.gz)
set(allegro_download_dir ${CMAKE_BINARY_DIR}/allegro-download)
set(allegro_tarball ${allegro_download_dir}/${allegro_tarball_name})
if(NOT EXISTS ${allegro_tarball})
  # apt fetches it under a configuration of the build's own, in
  # allegro-download/apt/: source entries made from this machine's entries
  # for its release (scripts/debian-sources), and lists and a cache of its
  # own. The machine's apt configuration is only read, its settings and
  # hooks (apt.conf.d) not even that; apt-get needs no root for this.
  set(apt ${allegro_download_dir}/apt)
  message(STATUS "Fetching Allegro's source: apt-get source --download-only allegro4.4 (${apt})")
  file(MAKE_DIRECTORY ${apt}/etc/sources.list.d)
  execute_process(COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/debian-sources --type deb-src
                  OUTPUT_FILE ${apt}/etc/sources.list.d/archive.sources
                  RESULT_VARIABLE failed ERROR_VARIABLE apt_error)
  if(failed)
    message(FATAL_ERROR "Could not fetch ${allegro_tarball_name}: ${apt_error}")
  endif()
  file(MAKE_DIRECTORY ${apt}/etc/apt.conf.d ${apt}/lists/partial ${apt}/cache/archives/partial)
  file(WRITE ${apt}/apt.conf
    "Dir::Etc::main \"/dev/null\";\n"
    "Dir::Etc::parts \"${apt}/etc/apt.conf.d\";\n"
    "Dir::Etc::sourcelist \"${apt}/etc/sources.list\";\n"
    "Dir::Etc::sourceparts \"${apt}/etc/sources.list.d\";\n"
    "Dir::State::lists \"${apt}/lists\";\n"
    "Dir::Cache \"${apt}/cache\";\n")
  set(apt_get ${CMAKE_COMMAND} -E env APT_CONFIG=${apt}/apt.conf apt-get -q)
  # The download only needs the update to have fetched the archive's source
  # lists: what fails elsewhere (a mirror of another suite) is shown below if
  # the tarball does not arrive.
  execute_process(COMMAND ${apt_get} update
                  OUTPUT_QUIET ERROR_VARIABLE apt_update_error)
  execute_process(COMMAND ${apt_get} source --download-only allegro4.4
                  WORKING_DIRECTORY ${allegro_download_dir}
                  OUTPUT_QUIET ERROR_VARIABLE apt_error)
  if(NOT EXISTS ${allegro_tarball})
    message(FATAL_ERROR "Could not fetch ${allegro_tarball_name} with apt-get source under "
      "${apt}/apt.conf.\n${apt_update_error}${apt_error}")
  endif()
  file(REMOVE_RECURSE ${apt}/lists ${apt}/cache)  # tens of megabytes, not needed again
endif()

set(allegro_patch ${CMAKE_SOURCE_DIR}/windows/allegro-win64.patch)
ExternalProject_Add(allegro
  URL ${allegro_tarball}
  URL_HASH SHA256=ec19dbc9a021244582b4819b3583ee594b50141f9fcf6944a4ed8069cbf8d4d4
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  PATCH_COMMAND patch -p1 -i ${allegro_patch}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    # Allegro asks for CMake 2.6's behaviour, which CMake 4 no longer has.
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5
    # A pointer cast to a narrower integer, or back, stops the build.
    "-DCMAKE_C_FLAGS=-Werror=pointer-to-int-cast -Werror=int-to-pointer-cast"
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DSHARED=off
    -DWANT_ALLEGROGL=off -DWANT_LOADPNG=off -DWANT_LOGG=off -DWANT_JPGALLEG=off
    -DWANT_EXAMPLES=off -DWANT_TOOLS=off -DWANT_TESTS=off
  BUILD_BYPRODUCTS <INSTALL_DIR>/lib/liballeg.a
  LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)

# A changed patch unpacks the source afresh, patches and builds it again.
ExternalProject_Add_StepDependencies(allegro download ${allegro_patch})

ExternalProject_Get_Property(allegro INSTALL_DIR SOURCE_DIR)
# Allegro's licence, which goes with every copy of a program linking it.
set(ALLEGRO_LICENSE_FILE ${SOURCE_DIR}/docs/txt/license.txt)
file(MAKE_DIRECTORY ${INSTALL_DIR}/include)
add_library(allegro_windows STATIC IMPORTED)
set_target_properties(allegro_windows PROPERTIES
  IMPORTED_LOCATION ${INSTALL_DIR}/lib/liballeg.a
  INTERFACE_INCLUDE_DIRECTORIES ${INSTALL_DIR}/include
  INTERFACE_COMPILE_DEFINITIONS ALLEGRO_STATICLINK
  INTERFACE_LINK_LIBRARIES "ddraw;dinput;dsound;dxguid;gdi32;winmm;ole32")
add_dependencies(allegro_windows allegro)
