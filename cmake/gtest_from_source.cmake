# GoogleTest for a cross build: the installed libraries are built for the
# host, so the sources that Debian's googletest package installs are
# compiled for the target instead, and offered under the same names that
# find_package(GTest) gives.
set(SKIFF_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for the target")
if(NOT EXISTS ${SKIFF_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in "
          "${SKIFF_GTEST_SOURCE_DIR} (Debian package googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${SKIFF_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL)
# Recent GoogleTest releases define these names themselves.
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
