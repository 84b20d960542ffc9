#!/usr/bin/env bash
# Builds the parts of the 32-bit Windows runtime that the Windows release
# packs, into PREFIX:
#
#   bash tools/build-win32-runtime.sh PREFIX          # build (or nothing to do)
#   bash tools/build-win32-runtime.sh --check PREFIX  # smoke test under wine
#
# Inputs, from $SKIFF_RUNTIME_SOURCES (default: ../shared/runtimes beside
# the project), each checked against its SHA-256 first; a missing or altered
# file stops the build with a line naming the file and where to get it:
#   win32/python27.dll           CPython 2.7.14, 32-bit, MSVC 2008 build; the
#                                one binary (2.7 does not build with MinGW)
#   Python-2.7.14.tar.xz         its headers (Include/, PC/pyconfig.h) and
#                                Modules/, to build extension modules for it
#   Python-2.7.18.tar.xz         the pure-Python standard library (below)
#   openssl_3.0.22.orig.tar.gz   OpenSSL 3.0.22
#   M2Crypto-0.38.0.tar.xz (or PyPI's M2Crypto-0.38.0.tar.gz)
#   typing-3.10.0.0-python2.py   the typing backport M2Crypto imports on 2.7
#
# PREFIX afterwards (Windows install layout):
#   python27.dll libcrypto-3.dll libssl-3.dll     the libraries
#   DLLs/_socket.pyd select.pyd unicodedata.pyd _multiprocessing.pyd
#   Lib/                                          pure-Python standard library
#   Lib/site-packages/M2Crypto/ (with _m2crypto.pyd), Lib/site-packages/typing.py
#   build-win32-runtime.stamp                     what it was built from
#
# Cross-built with Debian's MinGW-w64 (i686, posix threads) and SWIG:
# - One C runtime per process: python27.dll uses MSVCR90.dll, so every
#   module built here links MSVCR90.dll instead of MinGW's default
#   msvcrt.dll (a specs file maps -lmsvcrt to -lmsvcr90 and defines
#   __MSVCRT_VERSION__=0x0900), and links libgcc statically
#   (no libgcc_s_dw2-1.dll). The extension modules carry no manifest:
#   python27.dll activates its own (Microsoft.VC90.CRT) while it loads
#   them, which covers the OpenSSL DLLs they pull in. Every PE file is
#   checked with objdump: it imports only from Windows system DLLs,
#   MSVCR90.dll, python27.dll and the OpenSSL DLLs.
# - OpenSSL: ./Configure mingw shared no-tests, make build_libs. Its
#   configuration, engines and modules folders are compiled in and derive
#   from --prefix; the default (/usr/local) would name a folder on the
#   current drive that any user may create on Windows (and so plant an
#   openssl.cnf that loads a module of theirs), so the prefix is
#   "C:/Program Files/OpenSSL", which only administrators can create
#   (the fallback of OpenSSL's own Windows builds); OPENSSLDIR is its ssl/.
# - python27.dll has no import library: one is made from its export table
#   (gendef, dlltool).
# - The sources include WinSock2.h, Windows.h and MSTcpIP.h, where MinGW's
#   headers are lower-case: a folder of forwarding headers in the build
#   directory takes them (the sources stay unchanged). With MSTcpIP.h found,
#   socketmodule.h takes getaddrinfo from ws2tcpip.h and CPython's own
#   addrinfo.h (which would clash with it) stays empty.
# - M2Crypto's wrapper is generated as its setup.py does on win32 (swig
#   -python -D_WIN32 -D_MSC_VER=1500 -includeall -builtin, with OpenSSL's
#   headers), together with the matching M2Crypto/m2crypto.py; the
#   extension is M2Crypto._m2crypto and links libssl-3.dll/libcrypto-3.dll.
# - Extension modules: the 2.7.14 PC/config.c (and the DLL's own strings)
#   show what python27.dll has built in: array, binascii, cPickle,
#   cStringIO, _collections, _functools, _io, itertools, math, operator,
#   _md5/_sha*, _random, _sre, _struct, thread, time, zlib, nt, msvcrt,
#   _winreg, _subprocess, the CJK codecs and more. What
#     import M2Crypto.SSL, M2Crypto.ftpslib, ftplib, socket, select,
#            array, pickle, logging
#   imports on Windows besides those are _socket and select. Built from
#   the 2.7.14 Modules/ besides: unicodedata, without which
#   encodings.idna (stringprep) does not import, and the whole encodings
#   package is packed; _multiprocessing, which the launcher's child mode
#   (--multiprocessing-fork: multiprocessing.freeze_support) imports.
#   _ssl and _hashlib stay out (M2Crypto brings TLS; hashlib falls back to
#   the built-in _md5/_sha*); socket, ftplib, httplib and xmlrpclib only
#   try ssl, _ssl and pyexpat and work without. Not built, so not
#   available: pyexpat, _ctypes, bz2 (encodings.bz2_codec), _elementtree,
#   _sqlite3, _bsddb, _msi.
# - The pure-Python standard library is 2.7.18's Lib/ (the last upstream
#   fixes), all of it: none of the modules that differ from 2.7.14 uses a
#   C-level name that the 2.7.14 DLL or the modules built here lack, and
#   under wine 2.7.14's own regression tests of the modules the program
#   uses (socket, select, codecs, ntpath, os, logging, pickle, threading,
#   ftplib, urlparse, tempfile, ... 55 in all) fail with 2.7.18's Lib/
#   exactly where they fail with 2.7.14's (wine, _testcapi, child
#   processes). The one exception is ssl.py, whose 2.7.18 version needs
#   _ssl's HAS_TLSv1_3; no _ssl is built, so ssl does not import with
#   either version. Left out of Lib/: the test suites, Tk and IDLE, the
#   plat-* folders of other systems and ensurepip's bundled wheels.
#
# Nothing is done when PREFIX already holds a build of the same inputs (the
# sources' hashes, this script, the compiler's, binutils', MinGW-w64's and
# SWIG's package versions), so CI can cache PREFIX. A PREFIX that exists
# but holds no build of this script is left alone (error). The build runs in
# a temporary directory and replaces PREFIX only when it succeeded.
# SKIFF_JOBS (default 2) sets make's parallelism.
set -euo pipefail

me=build-win32-runtime
say() { echo "$me: $*"; }
fail() {
  echo "$me: $*" >&2
  exit 1
}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
script="$root/tools/$(basename "${BASH_SOURCE[0]}")"
check=
if [ "${1:-}" = --check ]; then
  check=1
  shift
fi
[ $# -eq 1 ] && [ -n "$1" ] || fail "usage: $0 [--check] PREFIX"
case "$1" in
  /*) prefix=$1 ;;
  *) prefix=$PWD/$1 ;;
esac
prefix=${prefix%/}
sources=${SKIFF_RUNTIME_SOURCES:-$root/../shared/runtimes}
jobs=${SKIFF_JOBS:-2}
stamp_name=build-win32-runtime.stamp
host=i686-w64-mingw32

# --- sources ----------------------------------------------------------------

# name | accepted SHA-256s (the git archive of the tag; the official
# release download where it differs) | where the official release is
source_table=(
  "win32/python27.dll|58159c2b3b27e60a533401b516b0f4f71bab420f2650cfc620a5134209106787|python27.dll at the root of github.com/tianocore/edk2-BaseTools-win32, commit dc6be144884230c92390f529efdacf36aabbb8a5 (CPython 2.7.14, 32-bit)"
  "Python-2.7.14.tar.xz|eef03bd0a95f75cecaff3e15b43ebe6a42004af0fb646bf856ebf0ca71a1229a 71ffb26e09e78650e424929b2b457b9c912ac216576e6bd9e7d204ed03296a66|https://www.python.org/ftp/python/2.7.14/Python-2.7.14.tar.xz"
  "Python-2.7.18.tar.xz|f535c04e0e6b1f25cb139d13c296a0b678f48813574987c42fdd98a45f6f2428 b62c0e7937551d0cc02b8fd5cb0f544f9405bafc9a54d3808ed4594812edef43|https://www.python.org/ftp/python/2.7.18/Python-2.7.18.tar.xz"
  "openssl_3.0.22.orig.tar.gz|67ebca7e50d17383028045486653492195b83db95f8558709701bb47b5c1ef81|https://www.openssl.org/source/openssl-3.0.22.tar.gz (the same file under this name)"
  "M2Crypto-0.38.0.tar.xz M2Crypto-0.38.0.tar.gz|f37f6f68d90c6aa173a8a10d9b094b49222798ea9cfff9d9c8fea3f606d26b28 99f2260a30901c949a8dc6d5f82cd5312ffb8abc92e76633baf231bbbcb2decb|M2Crypto-0.38.0.tar.gz of https://pypi.org/project/M2Crypto/0.38.0/"
  "typing-3.10.0.0-python2.py|c8fd9fc72f1ea6b2be70731ef5b01cbd4ed02fb9ff606b684c5386ddbb165494|python2/typing.py of typing-3.10.0.0.tar.gz, https://pypi.org/project/typing/3.10.0.0/"
)

declare -A source_path  # first name of a row -> the file found
source_hashes=
checkSources() {
  local row names sums where name found sum ok
  [ -d "$sources" ] ||
    fail "no runtime sources at $sources (set SKIFF_RUNTIME_SOURCES)"
  for row in "${source_table[@]}"; do
    IFS='|' read -r names sums where <<<"$row"
    found=
    for name in $names; do
      if [ -f "$sources/$name" ]; then
        found=$sources/$name
        break
      fi
    done
    [ -n "$found" ] ||
      fail "missing ${names// / or } in $sources: get $where"
    sum=$(sha256sum "$found" | cut -d' ' -f1)
    ok=
    for name in $sums; do [ "$sum" = "$name" ] && ok=1; done
    [ -n "$ok" ] ||
      fail "$found is altered (SHA-256 $sum): get $where"
    source_path[${names%% *}]=$found
    source_hashes+="$sum  ${found#"$sources"/}"$'\n'
  done
}

# --- packages ---------------------------------------------------------------

# The "-posix" compilers only: the plain gcc-mingw-w64-i686 brings the
# win32-threads variant too, which then becomes the default compiler of the
# launcher's build and has no std::mutex.
packages=(gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-i686 mingw-w64-tools swig make perl xz-utils)
installPackages() {
  local p missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null |
      grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get -q -o DPkg::Lock::Timeout=600 update >/dev/null
  $sudo apt-get -q -o DPkg::Lock::Timeout=600 install -y \
    --no-install-recommends "${missing[@]}" >/dev/null
}

toolVersions() {
  dpkg-query -W -f='${Package} ${Version}\n' gcc-mingw-w64-i686-posix \
    binutils-mingw-w64-i686 mingw-w64-i686-dev mingw-w64-tools swig
  "$host-gcc-posix" --version | head -n 1
}

# --- checks of the result ---------------------------------------------------

# DLLs a module built here may import from: what Windows ships, the C
# runtime of python27.dll, python27.dll and the OpenSSL DLLs.
declare -A allowed_dll
for dll in kernel32 user32 advapi32 shell32 ws2_32 mswsock crypt32 gdi32 \
  ole32 oleaut32 ntdll secur32 iphlpapi rpcrt4 msvcr90 python27 \
  libcrypto-3 libssl-3; do
  allowed_dll[$dll.dll]=1
done

# Fails unless PATH is a 32-bit PE DLL importing only allowed DLLs.
checkModule() {
  local path=$1 headers dll
  headers=$("$host-objdump" -p "$path") || fail "$path: objdump cannot read it"
  grep -qE '^Magic[[:space:]]+010b' <<<"$headers" ||
    fail "$path: not a 32-bit (PE32) file"
  while read -r dll; do
    [ -n "${allowed_dll[${dll,,}]:-}" ] ||
      fail "$path: imports from $dll"
  done < <(awk '/DLL Name:/ { print $3 }' <<<"$headers")
  grep -qiE 'DLL Name: msvcr90\.dll' <<<"$headers" ||
    fail "$path: does not link MSVCR90.dll"
}

# --- smoke test under wine --------------------------------------------------

# A 32-bit program that loads PREFIX's python27.dll, starts the interpreter
# with PREFIX's Lib on the path, imports what the application needs and
# runs a few calls of it (hashing, random bytes, a TLS context, a loopback
# socket watched with select). It prints the modules that failed to import
# and, last, "runtime check: ok".
runCheck() {
  local dir out f rc=0
  for f in python27.dll libcrypto-3.dll DLLs/_socket.pyd \
    Lib/site-packages/M2Crypto/_m2crypto.pyd; do
    [ -f "$prefix/$f" ] || fail "--check: no $f in $prefix (build it first)"
  done
  command -v wine >/dev/null || fail "--check: wine is not installed"
  dir=$(mktemp -d "${TMPDIR:-/tmp}/$me-check.XXXXXX")
  # shellcheck disable=SC2064
  trap "WINEPREFIX='$dir/wineprefix' wineserver -k >/dev/null 2>&1 || true; rm -rf '$dir'" EXIT
  cat >"$dir/probe.c" <<'EOF'
#include <windows.h>
#include <stdio.h>

typedef void (*InitializeFn)(void);
typedef int (*RunFn)(const char *);

int main(int argc, char **argv) {
  char dll[MAX_PATH];
  if (argc != 3) {
    fprintf(stderr, "usage: probe PREFIX SCRIPT\n");
    return 2;
  }
  snprintf(dll, sizeof dll, "%s\\python27.dll", argv[1]);
  SetDllDirectoryA(argv[1]);
  HMODULE runtime = LoadLibraryExA(dll, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!runtime) {
    fprintf(stderr, "cannot load %s: error %lu\n", dll, GetLastError());
    return 2;
  }
  int *noSite = (int *)GetProcAddress(runtime, "Py_NoSiteFlag");
  int *ignoreEnv = (int *)GetProcAddress(runtime, "Py_IgnoreEnvironmentFlag");
  int *noBytecode = (int *)GetProcAddress(runtime, "Py_DontWriteBytecodeFlag");
  InitializeFn init = (InitializeFn)GetProcAddress(runtime, "Py_Initialize");
  InitializeFn fini = (InitializeFn)GetProcAddress(runtime, "Py_Finalize");
  RunFn run = (RunFn)GetProcAddress(runtime, "PyRun_SimpleString");
  if (!noSite || !ignoreEnv || !noBytecode || !init || !fini || !run) {
    fprintf(stderr, "python27.dll lacks a symbol\n");
    return 2;
  }
  *noSite = 1;
  *ignoreEnv = 1;
  *noBytecode = 1; /* PREFIX stays as built */
  init();
  FILE *f = fopen(argv[2], "rb");
  if (!f) {
    fprintf(stderr, "cannot open %s\n", argv[2]);
    return 2;
  }
  static char text[65536];
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = 0;
  int status = run(text);
  fflush(stdout);
  fini();
  return status == 0 ? 0 : 1;
}
EOF
  # The script learns PREFIX from its first line.
  {
    printf 'PREFIX = r%s\n' "'$(winePath "$prefix")'"
    cat <<'EOF'
import sys
sys.path[:] = [PREFIX + '\\Lib', PREFIX + '\\DLLs', PREFIX + '\\Lib\\site-packages']
import __builtin__
failed = []
real_import = __builtin__.__import__
def recording_import(name, *args):
    try:
        return real_import(name, *args)
    except ImportError:
        failed.append(name)
        raise
__builtin__.__import__ = recording_import
import M2Crypto.SSL, M2Crypto.ftpslib, ftplib, socket, select, array, pickle, logging
import encodings, os, pkgutil
for _, name, _ in pkgutil.iter_modules(encodings.__path__):
    try:
        __import__('encodings.' + name)
    except ImportError:
        pass
__builtin__.__import__ = real_import
from M2Crypto import EVP, Rand, SSL, m2
digest = EVP.MessageDigest('sha256')
digest.update('abc')
assert digest.final().encode('hex').startswith('ba7816bf'), 'sha256'
assert len(Rand.rand_bytes(16)) == 16
server = socket.socket()
server.bind(('127.0.0.1', 0))
server.listen(1)
client = socket.create_connection(server.getsockname(), 10)
peer, _ = server.accept()
client.sendall('ping')
ready, _, _ = select.select([peer], [], [], 10)
assert ready and peer.recv(4) == 'ping', 'loopback'
for s in (client, peer, server):
    s.close()
# A TLS session over loopback between two threads, with a self-signed
# certificate made here.
import os, tempfile, threading, time
from M2Crypto import ASN1, RSA, X509
key = EVP.PKey()
key.assign_rsa(RSA.gen_key(2048, 65537, lambda *args: None))
cert = X509.X509()
cert.set_serial_number(1)
name = X509.X509_Name()
name.CN = 'localhost'
cert.set_subject(name)
cert.set_issuer(name)
cert.set_pubkey(key)
for setter, offset in ((cert.set_not_before, -60), (cert.set_not_after, 3600)):
    moment = ASN1.ASN1_UTCTIME()
    moment.set_time(int(time.time()) + offset)
    setter(moment)
cert.sign(key, 'sha256')
folder = tempfile.mkdtemp()
cert_file, key_file = os.path.join(folder, 'c.pem'), os.path.join(folder, 'k.pem')
cert.save_pem(cert_file)
key.save_key(key_file, None)
server_ctx = SSL.Context('tls')
server_ctx.load_cert(cert_file, key_file)
listener = socket.socket()
listener.bind(('127.0.0.1', 0))
listener.listen(1)
def serve():
    sock, _ = listener.accept()
    conn = SSL.Connection(server_ctx, sock)
    conn.setup_ssl()
    conn.set_accept_state()
    conn.accept_ssl()
    conn.write(conn.read(4))
    conn.close()
thread = threading.Thread(target=serve)
thread.daemon = True
thread.start()
conn = SSL.Connection(SSL.Context('tls'))
conn.postConnectionCheck = None
conn.connect(listener.getsockname())
conn.write('ping')
assert conn.read(4) == 'ping', 'TLS echo'
tls = '%s %s' % (conn.get_version(), conn.get_cipher().name())
conn.close()
thread.join(10)
listener.close()
for f in (cert_file, key_file):
    os.remove(f)
os.rmdir(folder)
assert u'b\xfccher.example'.encode('idna') == 'xn--bcher-kva.example'
import multiprocessing
sender, receiver = multiprocessing.Pipe()
sender.send(('ping', 1))
assert receiver.recv() == ('ping', 1), 'pipe'
extensions = sorted(set(
    m.__name__ for m in sys.modules.values()
    if m is not None and getattr(m, '__file__', '').endswith('.pyd')))
print('python %s, %s, %s' % (sys.version.split()[0], m2.OPENSSL_VERSION_TEXT, tls))
print('extension modules loaded: ' + ' '.join(extensions))
print('imports that failed: ' + ' '.join(sorted(set(failed))))
print('runtime check: ok')
EOF
  } >"$dir/probe.py"
  "$host-gcc-posix" -O2 -Wall -Wextra -static-libgcc "$dir/probe.c" \
    -o "$dir/probe.exe"
  export WINEPREFIX="$dir/wineprefix" WINEARCH=win32 WINEDEBUG=-all
  unset DISPLAY WAYLAND_DISPLAY
  say "starting a 32-bit wine prefix"
  timeout 300 wineboot -i </dev/null >/dev/null 2>&1 ||
    fail "--check: the 32-bit wine prefix does not start (wine32 installed?)"
  out=$(cd "$prefix" && timeout 120 wine "$dir/probe.exe" \
    "$(winePath "$prefix")" "$(winePath "$dir/probe.py")" </dev/null 2>&1) ||
    rc=$?
  sed 's/\r$//; s/^/  /' <<<"$out"
  [ "$rc" -eq 0 ] && [[ "$out" == *"runtime check: ok"* ]] ||
    fail "--check: the runtime did not run (status $rc)"
  say "runtime check under wine passed"
}

# A Linux path as wine sees it (drive Z: is the root).
winePath() {
  local p=$1
  echo "Z:${p//\//\\}"
}

if [ -n "$check" ]; then
  runCheck
  exit 0
fi

# --- the build --------------------------------------------------------------

start=$SECONDS
checkSources
installPackages
stamp=$(
  echo "$me"
  sha256sum "$script" | cut -d' ' -f1
  printf '%s' "$source_hashes"
  toolVersions
)
if [ -f "$prefix/$stamp_name" ]; then
  if [ "$(cat "$prefix/$stamp_name")" = "$stamp" ]; then
    say "$prefix is up to date ($((SECONDS - start)) s)"
    exit 0
  fi
elif [ -e "$prefix" ] && [ -n "$(ls -A "$prefix" 2>/dev/null)" ]; then
  fail "$prefix exists and holds no build of this script: remove it or choose another PREFIX"
fi
mkdir -p "$(dirname "$prefix")"
work=$(mktemp -d "$prefix.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/build.log
say "building into $prefix (log: $log while it runs)"

# Runs a command with its output in the log; on failure shows the log's end.
step() {
  if ! "$@" >>"$log" 2>&1; then
    tail -n 30 "$log" | sed 's/^/  /' >&2
    fail "failed: $*"
  fi
}

cd "$work"
for f in Python-2.7.14.tar.xz Python-2.7.18.tar.xz openssl_3.0.22.orig.tar.gz \
  M2Crypto-0.38.0.tar.xz; do
  step tar xf "${source_path[$f]}"
done
py14=$work/Python-2.7.14
py18=$work/Python-2.7.18
ossl=$work/openssl-3.0.22
m2src=$work/M2Crypto-0.38.0
for d in "$py14" "$py18" "$ossl" "$m2src"; do
  [ -d "$d" ] || fail "${d##*/}/ is not in its archive"
done

cc=$host-gcc-posix
specs=$work/msvcr90.specs
"$cc" -dumpspecs | awk '
  prev == "*libgcc:" { n = sub(/-lmsvcrt /, "-lmsvcr90 "); if (!n) exit 1 }
  prev == "*cpp:" { $0 = $0 " -D__MSVCRT_VERSION__=0x0900" }
  { print; prev = $0 }' >"$specs" || fail "cannot make the MSVCR90 specs file"
grep -q -- '-lmsvcr90 ' "$specs" || fail "the specs file links no MSVCR90"

mkdir -p fwd
for h in WinSock2 Windows MSTcpIP; do
  echo "#include <${h,,}.h>" >"fwd/$h.h"
done

# OpenSSL
say "OpenSSL 3.0.22"
(
  cd "$ossl"
  step ./Configure mingw --cross-compile-prefix="$host-" shared no-tests \
    "--prefix=C:/Program Files/OpenSSL" \
    -specs="$specs" -static-libgcc
  # The compiler named by the prefix is the -posix one (the default
  # alternative); CC points there explicitly.
  step make -j"$jobs" CC="$cc" build_libs
)

# python27.dll's import library
mkdir -p lib
gendef - "${source_path[win32/python27.dll]}" >lib/python27.def 2>>"$log" ||
  fail "gendef cannot read python27.dll's exports"
step "$host-dlltool" -d lib/python27.def -D python27.dll -l lib/libpython27.a

# Flags for code that includes Python.h: CPython's own (no strict aliasing,
# wrapping signed arithmetic).
pycflags=(-specs="$specs" -O2 -fno-strict-aliasing -fwrapv -DNDEBUG
  -I"$work/fwd" -I"$py14/Include" -I"$py14/PC")
pyldflags=(-shared -specs="$specs" -static-libgcc -s -L"$work/lib")

out=$work/out
mkdir -p "$out/DLLs" "$out/Lib/site-packages/M2Crypto"

# Standard-library extension modules: name, then its sources in Modules/.
# getpid is _getpid in MSVCR90 (MinGW's alias library knows only msvcrt's).
say "extension modules _socket, select, unicodedata, _multiprocessing"
modules=(
  "_socket socketmodule.c"
  "select selectmodule.c"
  "unicodedata unicodedata.c"
  "_multiprocessing _multiprocessing/multiprocessing.c
    _multiprocessing/pipe_connection.c _multiprocessing/semaphore.c
    _multiprocessing/socket_connection.c _multiprocessing/win32_functions.c"
)
mkdir -p obj
for row in "${modules[@]}"; do
  # shellcheck disable=SC2086
  set -- $row
  name=$1
  shift
  objs=()
  for c in "$@"; do
    o=obj/${c//\//_}
    o=${o%.c}.o
    step "$cc" "${pycflags[@]}" -Dgetpid=_getpid -c "$py14/Modules/$c" -o "$o"
    objs+=("$o")
  done
  step "$cc" "${pyldflags[@]}" -o "$out/DLLs/$name.pyd" "${objs[@]}" \
    -lpython27 -lws2_32
done

# M2Crypto
say "M2Crypto 0.38.0"
mkdir -p m2
(
  cd "$m2src"
  step swig -python -D_WIN32 -D_MSC_VER=1500 -I"$ossl/include" \
    -I"$ossl/include/openssl" -includeall -builtin -outdir "$work/m2" \
    -o "$work/m2/_m2crypto_wrap.c" src/SWIG/_m2crypto.i
)
step "$cc" "${pycflags[@]}" -DTHREADING -D_CRT_SECURE_NO_WARNINGS \
  -Wno-deprecated-declarations -I"$ossl/include" -I"$m2src/src/SWIG" \
  -c m2/_m2crypto_wrap.c -o m2/_m2crypto_wrap.o
step "$cc" "${pyldflags[@]}" -L"$ossl" -o "$out/Lib/site-packages/M2Crypto/_m2crypto.pyd" \
  m2/_m2crypto_wrap.o -lssl -lcrypto -lpython27 -lws2_32

# The libraries
cp "${source_path[win32/python27.dll]}" "$out/python27.dll"
for d in libcrypto-3.dll libssl-3.dll; do
  step "$host-strip" --strip-unneeded -o "$out/$d" "$ossl/$d"
done

# The pure-Python parts
say "standard library (2.7.18), M2Crypto and typing"
step tar -C "$py18" -cf lib.tar \
  --exclude='Lib/test' --exclude='Lib/*/test' --exclude='Lib/*/tests' \
  --exclude='Lib/lib-tk' --exclude='Lib/idlelib' --exclude='Lib/plat-*' \
  --exclude='Lib/ensurepip/_bundled' --exclude='*.pyc' Lib
step tar -C "$out" -xf lib.tar
(cd "$m2src/src" && tar -cf - --exclude='*.pyc' M2Crypto) |
  tar -C "$out/Lib/site-packages" -xf -
cp m2/m2crypto.py "$out/Lib/site-packages/M2Crypto/m2crypto.py"
cp "${source_path[typing-3.10.0.0-python2.py]}" "$out/Lib/site-packages/typing.py"
chmod -R u+w,go-w,a+rX "$out"

# Every PE file links MSVCR90.dll alone and needs nothing but Windows,
# python27.dll and OpenSSL.
count=0
while IFS= read -r -d '' f; do
  [ "${f##*/}" = python27.dll ] && continue
  checkModule "$f"
  count=$((count + 1))
done < <(find "$out" -type f \( -name '*.dll' -o -name '*.pyd' \) -print0)
[ "$count" -eq 7 ] || fail "expected 7 modules of our own, found $count"

echo "$stamp" >"$out/$stamp_name"
rm -rf "$prefix"
mv "$out" "$prefix"
cd /
rm -rf "$work"
say "built $prefix in $((SECONDS - start)) s"
