# Cross-compiles the 32-bit Windows build, the one that ships, on Debian
# with MinGW-w64:
#
#   cmake -S . -B build-win \
#         -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-w64-i686.cmake
#
# Needs the packages g++-mingw-w64-i686-posix and libz-mingw-w64-dev; the
# tests run under 32-bit wine (wine32:i386) through
# CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SKIFF_MINGW_TRIPLE i686-w64-mingw32)
set(SKIFF_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
