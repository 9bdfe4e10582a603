# Qt 6 for the mingw cross build: Debian has none, so scripts/build_qt_windows.sh
# builds one once per machine into a cache. Here that cache is found (or the
# folder LIGHTKIT_QT_WINDOWS names) and Qt is taken from it; the host's Qt 6
# of the same version supplies moc, uic, rcc and lrelease.
set(LIGHTKIT_QT_MAJOR 6 CACHE STRING "Qt major version for LightConsole: 5 or 6" FORCE)
set(LIGHTKIT_QT_MAJOR 6)
if(NOT LIGHTKIT_QT_WINDOWS)
  if(DEFINED ENV{LIGHTKIT_QT_WINDOWS})
    set(prefix $ENV{LIGHTKIT_QT_WINDOWS})
  else()
    execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/build_qt_windows.sh --print
      OUTPUT_VARIABLE prefix OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(prefix AND EXISTS ${prefix}/BUILD-INFO.txt)
    set(LIGHTKIT_QT_WINDOWS ${prefix} CACHE PATH "Qt 6 for Windows (scripts/build_qt_windows.sh builds it)")
  endif()
endif()
if(NOT LIGHTKIT_QT_WINDOWS OR NOT EXISTS ${LIGHTKIT_QT_WINDOWS}/lib/cmake/Qt6/Qt6Config.cmake)
  message(STATUS "No Qt 6 for Windows: LightConsole.exe is not built (bash scripts/build_qt_windows.sh builds it once, 30 to 45 minutes)")
  return()
endif()

set(QT_HOST_PATH /usr CACHE PATH "The host's Qt 6, for its tools")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "The host's Qt 6 CMake packages")
# The toolchain searches packages only inside its root paths.
list(APPEND CMAKE_FIND_ROOT_PATH ${LIGHTKIT_QT_WINDOWS})
find_package(Qt6 6.2 COMPONENTS Widgets Test QUIET)
find_program(LIGHTKIT_LRELEASE lrelease PATHS ${QT_HOST_PATH}/lib/qt6/bin NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(Qt6_FOUND AND NOT LIGHTKIT_LRELEASE)
  message(STATUS "The host's lrelease (qt6-l10n-tools) is missing: LightConsole.exe is not built")
  set(Qt6_FOUND FALSE)
endif()
