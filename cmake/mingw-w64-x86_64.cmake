# Cross-build for 64-bit Windows with Debian's mingw-w64 (the POSIX-threads compilers, for std::thread).
# Tests run under wine: set WINEPREFIX to a folder of the build (tests/wine/ does), never to ~/.wine.
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DINI4ZAV_GUI=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C and C++ run-times linked in, so a test program needs no DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Programs of the build (the string table generator, the tests) run under wine in a prefix of the build
# folder, made on first use, through tests/wine/wine-run.sh: a run that wine ended before the program wrote
# anything is started once more.
find_program(INI4ZAV_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(INI4ZAV_WINE)
  set(INI4ZAV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  get_filename_component(_wine_run ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run.sh ABSOLUTE)
  # No Mono or Gecko: a fresh prefix would offer to fetch them.
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEPREFIX=${INI4ZAV_WINEPREFIX} WINEDEBUG=-all
      WINEDLLOVERRIDES=mscoree,mshtml= bash ${_wine_run} ${INI4ZAV_WINE})
endif()
