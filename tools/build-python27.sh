#!/usr/bin/env bash
# Builds the Python 2.7 runtime that the program can embed instead of
# Debian's 3.11 (cmake -DSKIFF_TARGET_PYTHON=PREFIX/bin/python2.7):
# CPython 2.7.18 as a shared library, setuptools (from its own ensurepip,
# no network), the typing backport and M2Crypto 0.38.0 built against the
# system's OpenSSL 3.
#
#   bash tools/build-python27.sh PREFIX
#   bash tools/build-python27.sh --stamp     prints the inputs' key only
#
# The source files come from $SKIFF_RUNTIME_SOURCES (default: the folder
# shared/runtimes beside the project's folder); each one's SHA-256 is
# checked first. PREFIX keeps a stamp of the inputs (the sources' hashes,
# this script, the compiler's, libssl-dev's and swig's versions): a second
# call with the same inputs does nothing, a call with other inputs builds
# PREFIX anew. A PREFIX that holds anything else is left alone.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
project=$(dirname "$here")
sources=${SKIFF_RUNTIME_SOURCES:-$(dirname "$project")/shared/runtimes}
self="$here/$(basename "$0")"
stamp_name=.skiff-runtime-stamp
# Written first and removed last: a build that stopped half-way is ours
# to redo.
partial_name=.skiff-runtime-partial

usage() {
  echo "usage: $0 PREFIX | --stamp" >&2
  exit 2
}
[ $# -eq 1 ] || usage

die() {
  echo "build-python27: $*" >&2
  exit 1
}

# What the build needs besides the project's own packages: the TLS
# package's wrapper generator and OpenSSL's headers.
install_build_deps() {
  local missing=() p
  for p in swig libssl-dev; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null |
        grep -q "ok installed"; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "build-python27: installing ${missing[*]}"
  local sudo=
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
    --no-install-recommends "${missing[@]}"
}

# One source file of each role: the accepted file names with their
# SHA-256 (the project's copies, packed from the release tags, and the
# official release downloads where they differ), and where the official
# release can be had.
python_files=(
  "Python-2.7.18.tar.xz f535c04e0e6b1f25cb139d13c296a0b678f48813574987c42fdd98a45f6f2428"
  "Python-2.7.18.tar.xz b62c0e7937551d0cc02b8fd5cb0f544f9405bafc9a54d3808ed4594812edef43"
)
python_origin="https://www.python.org/ftp/python/2.7.18/Python-2.7.18.tar.xz"
m2crypto_files=(
  "M2Crypto-0.38.0.tar.xz f37f6f68d90c6aa173a8a10d9b094b49222798ea9cfff9d9c8fea3f606d26b28"
  "M2Crypto-0.38.0.tar.gz 99f2260a30901c949a8dc6d5f82cd5312ffb8abc92e76633baf231bbbcb2decb"
)
m2crypto_origin="https://pypi.org/project/M2Crypto/0.38.0/ (M2Crypto-0.38.0.tar.gz)"
typing_files=(
  "typing-3.10.0.0-python2.py c8fd9fc72f1ea6b2be70731ef5b01cbd4ed02fb9ff606b684c5386ddbb165494"
)
typing_origin="python2/typing.py of https://github.com/python/typing at tag 3.10.0.0"

# find_source ROLE: sets $found to the checked file of that role, or stops
# naming the file and where it comes from.
find_source() {
  local -n files="$1_files"
  local origin_var="$1_origin" entry name sum actual seen=""
  for entry in "${files[@]}"; do
    name=${entry%% *}
    sum=${entry##* }
    [ -f "$sources/$name" ] || continue
    actual=$(sha256sum "$sources/$name" | cut -d' ' -f1)
    if [ "$actual" = "$sum" ]; then
      found="$sources/$name"
      return 0
    fi
    seen="$sources/$name"
  done
  if [ -n "$seen" ]; then
    die "$seen: SHA-256 $(sha256sum "$seen" | cut -d' ' -f1) is not the" \
        "release's; put the official release there: ${!origin_var}"
  fi
  die "$sources/${files[0]%% *}: missing; the official release:" \
      "${!origin_var}"
}

find_source python
python_src=$found
find_source m2crypto
m2crypto_src=$found
find_source typing
typing_src=$found

install_build_deps
cc=${CC:-cc}
stamp_text=$(
  for f in "$python_src" "$m2crypto_src" "$typing_src"; do
    echo "source $(basename "$f") $(sha256sum "$f" | cut -d' ' -f1)"
  done
  echo "script $(sha256sum "$self" | cut -d' ' -f1)"
  echo "compiler $($cc --version | head -n 1)"
  echo "libssl-dev $(dpkg-query -W -f='${Version}' libssl-dev)"
  echo "swig $(dpkg-query -W -f='${Version}' swig)"
)
stamp_key=$(printf '%s\n' "$stamp_text" | sha256sum | cut -c1-16)
if [ "$1" = "--stamp" ]; then
  echo "$stamp_key"
  exit 0
fi

case "$1" in
  /*) prefix=$1 ;;
  *) prefix="$PWD/$1" ;;
esac
prefix=${prefix%/}
[ -n "$prefix" ] || die "PREFIX must not be /"
if [ -f "$prefix/$stamp_name" ] && [ ! -e "$prefix/$partial_name" ] &&
   [ "$(cat "$prefix/$stamp_name")" = "$stamp_text" ]; then
  echo "build-python27: $prefix is up to date ($stamp_key)"
  exit 0
fi
if [ -d "$prefix" ] && [ -n "$(ls -A "$prefix")" ]; then
  if [ ! -f "$prefix/$stamp_name" ] && [ ! -e "$prefix/$partial_name" ]; then
    die "$prefix holds something else than this runtime; name an empty" \
        "or new folder"
  fi
  echo "build-python27: $prefix holds other inputs' build; building anew"
  rm -rf "${prefix:?}"/* "$prefix"/.skiff-runtime-*
fi
mkdir -p "$prefix"
: >"$prefix/$partial_name"

work=$(mktemp -d "${TMPDIR:-/tmp}/skiff-py27.XXXXXX")
trap 'rm -rf "$work"' EXIT
log="$work/log"
# step NAME COMMAND...: runs a step with its output in the log; a failure
# shows the log's end and stops.
step() {
  local name=$1
  shift
  echo "build-python27: $name"
  if ! "$@" >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    die "$name failed (log above)"
  fi
}

started=$(date +%s)
step "unpacking" tar -xf "$python_src" -C "$work"
step "unpacking M2Crypto" tar -xf "$m2crypto_src" -C "$work"
py="$prefix/bin/python2.7"
(
  cd "$work/Python-2.7.18"
  step "configure" ./configure --prefix="$prefix" --enable-shared \
    --enable-unicode=ucs4 LDFLAGS="-Wl,-rpath,$prefix/lib"
  step "make" make -j2
  step "make install" make install
)
# setuptools and pip from the wheels inside the release, no index.
step "ensurepip" env PIP_NO_INDEX=1 "$py" -m ensurepip
site_packages=$("$py" -c \
  'import sysconfig; print(sysconfig.get_path("purelib"))')
step "typing" cp "$typing_src" "$site_packages/typing.py"
(
  cd "$work/M2Crypto-0.38.0"
  step "M2Crypto build" "$py" setup.py build
  step "M2Crypto install" "$py" setup.py install \
    --single-version-externally-managed --record "$work/m2crypto-files.txt"
)
step "check" "$py" -c 'import M2Crypto.SSL, M2Crypto.ftpslib, typing'
printf '%s\n' "$stamp_text" >"$prefix/$stamp_name"
rm -f "$prefix/$partial_name"
echo "build-python27: $py ready ($stamp_key, $(( $(date +%s) - started )) s)"
