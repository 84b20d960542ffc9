# Cross-compiles the same sources as 64-bit Windows programs, for running
# the Windows tests where 32-bit wine cannot run (a kernel without 32-bit
# program support): what ships stays the 32-bit build.
#
#   cmake -S . -B build-win64 \
#         -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-w64-x86_64.cmake
#
# Needs the packages g++-mingw-w64-x86-64-posix, libz-mingw-w64-dev and
# wine64; the tests run under wine64 in a win64 prefix.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SKIFF_MINGW_TRIPLE x86_64-w64-mingw32)
set(SKIFF_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
