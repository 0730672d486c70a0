# The desktop icon in the sizes desktops show it at, each drawn for its size
# by packaging/make-icons.py (which also makes packaging/sineplot.ico, the
# Windows icon). Needs GNUInstallDirs.
foreach(size 16 32 48 256)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../packaging/icons/sineplot-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME sineplot.png)
endforeach()
