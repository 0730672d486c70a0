# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) once the files are in its staging
# tree, before it writes the NSIS script, so that the installer is the same
# byte for byte on every machine:
# - makensis would store each file's time, among them that of the
#   NSIS.InstallOptions.ini that CPack writes just now and of the plug-ins
#   where NSIS is installed: none is stored (the files get the time they are
#   installed at);
# - CPack lists the uninstaller's Delete and RMDir commands in the order the
#   file system gives, which differs between file systems: they are given
#   sorted instead, deepest directories first. CPack keeps lists already set.
if(NOT CPACK_GENERATOR MATCHES "^NSIS" OR CPACK_COMPONENTS_ALL)
  return()
endif()
set(CPACK_NSIS_DEFINES "SetDateSave off\n${CPACK_NSIS_DEFINES}")

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${CPACK_TEMPORARY_DIRECTORY}"
  "${CPACK_TEMPORARY_DIRECTORY}/*")
file(GLOB_RECURSE directories LIST_DIRECTORIES true RELATIVE "${CPACK_TEMPORARY_DIRECTORY}"
  "${CPACK_TEMPORARY_DIRECTORY}/*")
if(files)
  list(REMOVE_ITEM directories ${files})
endif()
list(SORT files)
list(SORT directories ORDER DESCENDING)
set(CPACK_NSIS_DELETE_FILES "")
foreach(file IN LISTS files)
  string(REPLACE "/" "\\" file "${file}")
  string(APPEND CPACK_NSIS_DELETE_FILES "  Delete \"$INSTDIR\\${file}\"\n")
endforeach()
set(CPACK_NSIS_DELETE_DIRECTORIES "")
foreach(directory IN LISTS directories)
  string(REPLACE "/" "\\" directory "${directory}")
  string(APPEND CPACK_NSIS_DELETE_DIRECTORIES "  RMDir \"$INSTDIR\\${directory}\"\n")
endforeach()
