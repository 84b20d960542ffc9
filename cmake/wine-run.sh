#!/bin/sh
# Runs one Windows program of a build tree under wine, headless and in a
# wine prefix of that build tree (created on first use), so that neither
# ~/.wine nor a display is touched. Used as CMAKE_CROSSCOMPILING_EMULATOR;
# settings already in the environment win.
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
export WINEARCH="${WINEARCH:-win32}"
export WINEDEBUG="${WINEDEBUG:--all}"
unset DISPLAY WAYLAND_DISPLAY
exec wine "$@"
