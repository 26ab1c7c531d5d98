# Helpers for the test directories.
#   ini4zav_gtest(name LABELS label... SOURCES file... LIBS target...)
#   ini4zav_qttest(name LABELS label... SOURCES file... LIBS target...)   (Qt Test, offscreen)
function(ini4zav_gtest name)
  cmake_parse_arguments(T "" "" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set(extra)
  if(CMAKE_CROSSCOMPILING AND WIN32)
    set(extra FIXTURES_REQUIRED wine) # the prefix and its lasting server (tests/wine/)
  endif()
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300 ${extra}
    DISCOVERY_TIMEOUT 60)
endfunction()

function(ini4zav_qttest name)
  cmake_parse_arguments(T "" "" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} Qt6::Test Qt6::Widgets Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  set(env "QT_QPA_PLATFORM=offscreen")
  set(extra)
  if(CMAKE_CROSSCOMPILING AND WIN32)
    # Under wine the Qt DLLs and the compiler's run-time DLLs are found through WINEPATH.
    list(APPEND env "WINEPATH=${INI4ZAV_WINE_DLL_PATH}")
    set(extra FIXTURES_REQUIRED wine)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300 ENVIRONMENT "${env}" ${extra})
endfunction()

# The folders of the DLLs a cross-built Qt program loads, as wine's search path (Z: is the Linux root).
if(CMAKE_CROSSCOMPILING AND WIN32 AND TARGET Qt6::Core)
  get_target_property(_qt_core_dll Qt6::Core IMPORTED_LOCATION_RELEASE)
  get_filename_component(_qt_bin ${_qt_core_dll} DIRECTORY)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                  OUTPUT_VARIABLE _gcc_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(_gcc_bin ${_gcc_dll} DIRECTORY)
  # Escaped semicolons: the path stays one entry of a test's environment.
  set(INI4ZAV_WINE_DLL_PATH "Z:${_qt_bin}\\;Z:${_gcc_bin}\\;Z:/usr/x86_64-w64-mingw32/lib")
endif()
