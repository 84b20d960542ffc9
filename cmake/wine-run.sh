#!/bin/sh
# Runs one Windows program of a build tree under wine, headless and in a
# wine prefix of that build tree (created on first use), so that neither
# ~/.wine nor a display is touched. Used as CMAKE_CROSSCOMPILING_EMULATOR:
#
#   wine-run.sh [win32|win64] PROGRAM [ARGS...]
#
# win32 (the default) runs 32-bit programs with the 32-bit wine loader,
# win64 runs 64-bit programs with the 64-bit loader, each in a prefix of
# its own architecture. Settings already in the environment win.
arch=win32
case "$1" in
  win32 | win64)
    arch=$1
    shift
    ;;
esac
if [ -z "$WINEPREFIX" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do
    dir=$(dirname "$dir")
  done
  if [ "$dir" = / ]; then
    echo "wine-run.sh: $1 is not inside a build tree" >&2
    exit 125
  fi
  WINEPREFIX="$dir/wineprefix"
fi
export WINEPREFIX
export WINEARCH="${WINEARCH:-$arch}"
export WINEDEBUG="${WINEDEBUG:--all}"
unset DISPLAY WAYLAND_DISPLAY
# Debian's "wine" picks the 32-bit loader whenever wine32 is installed,
# even where the kernel cannot run it: a 64-bit run names its loader.
if [ "$arch" = win64 ]; then
  for loader in "$WINELOADER" /usr/lib/wine/wine64 /usr/lib64/wine/wine64 \
    "$(command -v wine64)"; do
    if [ -n "$loader" ] && [ -x "$loader" ]; then
      export WINELOADER="$loader"
      exec "$loader" "$@"
    fi
  done
  echo "wine-run.sh: no 64-bit wine loader (Debian package wine64)" >&2
  exit 125
fi
exec wine "$@"
