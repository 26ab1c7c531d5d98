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
endif()

# Man pages and the Debian changelog go in gzip-compressed (-n: no name or time stamp, so the package is
# the same for the same sources), as Debian wants them; without gzip they go in as they are. The changelog's
# newest entry must be this version.
file(STRINGS ${CMAKE_SOURCE_DIR}/data/debian/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^ini4zav \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "data/debian/changelog: the newest entry is not version ${PROJECT_VERSION}: ${changelog_top}")
endif()
find_program(INI4ZAV_GZIP gzip)
set(gzipped)
function(ini4zav_install_gzipped source destination)
  get_filename_component(name ${source} NAME)
  if(NOT INI4ZAV_GZIP)
    install(FILES ${CMAKE_SOURCE_DIR}/${source} DESTINATION ${destination})
    return()
  endif()
  set(out ${CMAKE_BINARY_DIR}/gz/${name}.gz)
  add_custom_command(OUTPUT ${out} COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gz
                     COMMAND ${INI4ZAV_GZIP} -9n -c ${CMAKE_SOURCE_DIR}/${source} > ${out}
                     DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  install(FILES ${out} DESTINATION ${destination})
  set(gzipped ${gzipped} ${out} PARENT_SCOPE)
endfunction()
if(INI4ZAV_GUI)
  ini4zav_install_gzipped(data/ini4zav.1 ${CMAKE_INSTALL_MANDIR}/man1)
endif()
if(TARGET ini4zav-modemsim)
  ini4zav_install_gzipped(data/ini4zav-modemsim.1 ${CMAKE_INSTALL_MANDIR}/man1)
endif()
# A native package: its changelog is changelog(.gz), beside the machine-readable copyright file.
install(FILES ${CMAKE_SOURCE_DIR}/data/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(NOT WIN32)
  ini4zav_install_gzipped(data/debian/changelog ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/data/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ini4zav)
endif()
add_custom_target(gzipped_docs ALL DEPENDS ${gzipped})

# A stripped installation (the Debian package, `cmake --install --strip`) also drops the compiler's .comment and
# the .note sections of the programs, as Debian's own packages do (the build ID notes stay).
if(NOT WIN32 AND CMAKE_OBJCOPY)
  set(programs)
  foreach(program ini4zav ini4zav-modemsim)
    if(TARGET ${program})
      list(APPEND programs ${program})
    endif()
  endforeach()
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program ${programs})
        set(file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\")
        if(EXISTS \"\${file}\")
          execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                                  \"\${file}\" RESULT_VARIABLE failed)
          if(failed)
            message(FATAL_ERROR \"objcopy failed on \${file}\")
          endif()
        endif()
      endforeach()
    endif()")
endif()

# Debian package: `cpack -G DEB` in the build directory. The libraries come from dpkg-shlibdeps; what the
# program loads at run time without linking it (the X11 platform plugin, Qt's German texts) is named here.
# Nothing is recommended: the manual shows in the program's own help window, no browser is needed.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ini4zav)
set(CPACK_PACKAGE_VENDOR ini4zav)
set(CPACK_PACKAGE_CONTACT "ini4zav-Entwicklung <entwicklung@ini4zav.de>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Editor für die INI-Dateien der ZAV-Aufzugswerkzeuge")
# The long description: lines of at most 80 characters (CPack indents each one).
set(CPACK_PACKAGE_DESCRIPTION "ini4zav bearbeitet die Einstellungen der Service-Werkzeuge ed4vam, ed4qir,
mon4vam, Reader und Decoder für Aufzugssteuerungen. Mit seiner Test-Konsole
prüft es an der seriellen Schnittstelle (auch über einen Terminalserver im
Netz) ein Hayes-Modem und die Verbindung zur Aufzugssteuerung.
.
Ein simuliertes Modem und eine simulierte Steuerung erlauben das Üben ohne
Gerät; ini4zav-modemsim stellt das Modem an einem Pseudo-Terminal bereit.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-translations-l10n")
include(CPack)
