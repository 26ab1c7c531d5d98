# Cross-build of the whole program for 64-bit Windows: the mingw-w64 toolchain with the Qt and the libjpeg that
# scripts/windows/build-qt.sh makes for it (`build-qt.sh --prefixes` prints where they are).
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-qt.cmake \
#         -DINI4ZAV_QT_MINGW=<Qt prefix> -DINI4ZAV_JPEG_MINGW=<libjpeg prefix>
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

# Compiler checks run in projects of their own: hand the prefixes on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES INI4ZAV_QT_MINGW INI4ZAV_JPEG_MINGW)
foreach(prefix INI4ZAV_QT_MINGW INI4ZAV_JPEG_MINGW)
  if(NOT ${prefix} AND DEFINED ENV{${prefix}})
    set(${prefix} $ENV{${prefix}})
  endif()
  if(NOT ${prefix} OR NOT IS_DIRECTORY "${${prefix}}")
    message(FATAL_ERROR "${prefix} must name the prefix made by scripts/windows/build-qt.sh (now '${${prefix}}')")
  endif()
  # Packages and libraries are searched below the find roots only.
  list(APPEND CMAKE_FIND_ROOT_PATH ${${prefix}})
endforeach()
# Programs of the build run under wine with Qt's DLLs (and the compiler's run-time DLLs beside them) on the
# DLL search path (Z: is the Linux root).
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(INSERT CMAKE_CROSSCOMPILING_EMULATOR 1 WINEPATH=Z:${INI4ZAV_QT_MINGW}/bin)
endif()
# Qt's tools that run during the build (moc, rcc, uic) are the Linux ones of the same version.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
