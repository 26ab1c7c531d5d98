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

# Under wine a program of the build tree finds Qt's plugins in the Qt prefix for mingw and Qt's own texts in
# this machine's (the same .qm files the installer ships): a qt.conf beside it says where (Z: is the root).
function(ini4zav_wine_qt_conf dir)
  if(CMAKE_CROSSCOMPILING AND WIN32 AND INI4ZAV_QT_MINGW)
    file(WRITE ${dir}/qt.conf "[Paths]\nPrefix = Z:${INI4ZAV_QT_MINGW}\nTranslations = Z:/usr/share/qt6/translations\n")
  endif()
endfunction()

function(ini4zav_qttest name)
  cmake_parse_arguments(T "" "" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} Qt6::Test Qt6::Widgets Threads::Threads)
  set(args)
  set(extra)
  if(CMAKE_CROSSCOMPILING AND WIN32)
    # wine keeps QT_* variables from Windows programs: the platform goes on the command line,
    set(args -platform offscreen -o -,txt) # and the log to standard output
    set(extra FIXTURES_REQUIRED wine) # the prefix and its lasting server (tests/wine/)
    ini4zav_wine_qt_conf(${CMAKE_CURRENT_BINARY_DIR})
  endif()
  add_test(NAME ${name} COMMAND ${name} ${args})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen" ${extra})
endfunction()

