# GoogleTest for the Windows cross build, compiled with the same toolchain
# from the sources that Debian's googletest package installs. Included by
# tests/CMakeLists.txt before its find_package(GTest), which finds nothing in
# the mingw root; the targets get the names that find_package would give.
set(LIGHTKIT_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
if(NOT EXISTS ${LIGHTKIT_GTEST_SOURCE}/CMakeLists.txt)
  message(STATUS "No GoogleTest sources in ${LIGHTKIT_GTEST_SOURCE}: the Windows tests are not built")
  return()
endif()
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${LIGHTKIT_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(lib gtest gtest_main gmock gmock_main)
  if(TARGET ${lib} AND NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
