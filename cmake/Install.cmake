# What `cmake --install` puts on the machine besides the programs (each program installs itself in its own
# directory): the example tool family, the HTML manual, the desktop entry, the icon, the AppStream metadata and
# the man page; and the Debian package CPack makes of it all.
include(GNUInstallDirs)

if(INI4ZAV_GUI)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/vamtools DESTINATION ${CMAKE_INSTALL_DATADIR}/ini4zav/examples)
  # Beside the program's data, not under doc/: minimal systems leave /usr/share/doc out, and F1 needs it.
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/manual/ DESTINATION ${CMAKE_INSTALL_DATADIR}/ini4zav/manual)
  install(FILES ${CMAKE_SOURCE_DIR}/data/ini4zav.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/data/de.ini4zav.ini4zav.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${CMAKE_SOURCE_DIR}/data/icons/ini4zav.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 16 24 32 48 64 128 256)
    install(FILES ${CMAKE_SOURCE_DIR}/data/icons/ini4zav-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME ini4zav.png)
  endforeach()
  install(FILES ${CMAKE_SOURCE_DIR}/data/ini4zav.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Debian package: `cpack -G DEB` in the build directory. The libraries come from dpkg-shlibdeps; what the
# program loads at run time without linking it (the X11 platform plugin, Qt's German texts) is named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ini4zav)
set(CPACK_PACKAGE_VENDOR ini4zav)
set(CPACK_PACKAGE_CONTACT "ini4zav <ini4zav@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Editor für die INI-Dateien der ZAV-Aufzugswerkzeuge")
set(CPACK_PACKAGE_DESCRIPTION "ini4zav bearbeitet die Einstellungen von ed4vam, ed4qir, mon4vam, Reader und \
Decoder und prüft mit einer Test-Konsole Modem und Aufzugssteuerung an der seriellen Schnittstelle.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)
