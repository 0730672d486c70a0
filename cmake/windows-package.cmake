# The Windows release, made by cpack in the build tree after the build:
#   sineplot-VERSION-win64.exe  a 64-bit installer (NSIS) with a licence page,
#                               a Start Menu shortcut, an uninstaller and an
#                               entry in Add/Remove Programs;
#   sineplot-VERSION-win64.zip  the same files to run from any folder.
# Both hold the program, its licence and that of Allegro, which it links
# statically (taken from Allegro's source as the build unpacks it).
install(TARGETS sineplot RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${ALLEGRO_LICENSE_FILE} DESTINATION . RENAME allegro-license.txt)

set(CPACK_GENERATOR NSIS64 ZIP)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME sineplot)
set(CPACK_PACKAGE_VENDOR "${SINEPLOT_VENDOR}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "draws a labelled sine curve in a window")
set(CPACK_PACKAGE_FILE_NAME sineplot-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY sineplot)
# One entry for every version, so that a newer one replaces the older.
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY sineplot)
set(CPACK_PACKAGE_EXECUTABLES sineplot sineplot)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)

# A 64-bit installer: the default stub is 32-bit, which 64-bit-only systems
# (Wine without its 32-bit part, say) cannot run. Only a backslash-escaped
# space survives cpack's splitting of this into arguments.
set(CPACK_NSIS_EXECUTABLE_PRE_ARGUMENTS "-XTarget\\ amd64-unicode")
set(CPACK_NSIS_PACKAGE_NAME "sineplot ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME sineplot)
set(CPACK_NSIS_MUI_ICON ${SINEPLOT_ICON})
set(CPACK_NSIS_MUI_UNIICON ${SINEPLOT_ICON})
set(CPACK_NSIS_INSTALLED_ICON_NAME sineplot.exe)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The Start Menu folder is "sineplot" rather than the installer's name with
# its version; the installer carries version information like the program,
# and its own name where NSIS would show its own (CPACK_NSIS_BRANDING_TEXT
# adds an option that makensis on Linux refuses).
set(CPACK_NSIS_DEFINES "!define MUI_STARTMENUPAGE_DEFAULTFOLDER sineplot
VIProductVersion ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0
VIAddVersionKey ProductName sineplot
VIAddVersionKey ProductVersion ${PROJECT_VERSION}
VIAddVersionKey FileVersion ${PROJECT_VERSION}
VIAddVersionKey FileDescription \"sineplot ${PROJECT_VERSION} setup\"
VIAddVersionKey CompanyName \"${SINEPLOT_VENDOR}\"
VIAddVersionKey LegalCopyright \"${SINEPLOT_COPYRIGHT}\"
BrandingText \"sineplot ${PROJECT_VERSION}\"")
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
# The uninstaller removes the key under Software that the installer made
# for the vendor, which it would otherwise leave behind, empty.
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS
  "DeleteRegKey SHCTX \"Software\\${CPACK_PACKAGE_VENDOR}\\${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}\"
  DeleteRegKey /ifempty SHCTX \"Software\\${CPACK_PACKAGE_VENDOR}\"")
include(CPack)
