# The part both MinGW-w64 toolchain files share; they set
# SKIFF_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR and SKIFF_WINE_ARCH first.
set(CMAKE_SYSTEM_NAME Windows)

# The "-posix" compilers use the winpthreads threading model; the plain
# names may point at the win32-threads variant, which has no std::mutex
# or std::thread.
set(CMAKE_C_COMPILER ${SKIFF_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SKIFF_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SKIFF_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SKIFF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Fully static programs: without -static they need the compiler's DLLs
# (libstdc++, libgcc, winpthread) beside them and fail to start silently
# under wine. zlib is taken as the static archive for the same reason.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(ZLIB_LIBRARY /usr/${SKIFF_MINGW_TRIPLE}/lib/libz.a
    CACHE FILEPATH "static zlib of the MinGW-w64 target")
set(ZLIB_INCLUDE_DIR /usr/${SKIFF_MINGW_TRIPLE}/include
    CACHE PATH "zlib headers of the MinGW-w64 target")

# ctest and gtest_discover_tests run the test programs under wine, in a
# prefix of the matching architecture inside the build tree
# (cmake/wine-run.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR
    /bin/sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${SKIFF_WINE_ARCH})
# The test lists are read when the tests run, not after each build: the
# programs build on a machine where wine cannot run them.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
