# The same commit gives byte-identical files wherever and whenever it is
# built. scripts/release.sh sets SOURCE_DATE_EPOCH to the last commit's time,
# which CPack uses for the times inside the Windows installer and zip.

# The source and build trees are written as "." into everything compiled
# (debug information, __FILE__), so the checkout's place leaves no trace. The
# build tree is given last, which GCC tries first.
add_compile_options(
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
  -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)

# Directories that cmake --install and CPack make do not depend on the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Fixes the NSIS installer's contents: see the script.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-fixed-installer.cmake)
