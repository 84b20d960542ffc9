#!/usr/bin/env bash
# The main job end to end on this machine, with no server of your own:
# installs what is missing, builds, starts a throw-away FTPS server on a
# loopback address (pyftpdlib, explicit TLS required, self-signed
# certificate, one user with a random password), then runs
#   skiffrelay send HOST USER PASSWORD FILE
#   skiffrelay test HOST USER PASSWORD yes
#   skiffrelay tchk HOST USER PASSWORD -
# showing each printed line, its exit status (1 after every run of the
# launcher; the printed line is the result) and what arrived on the server.
# The server is stopped on every way out.  Needs root (port 21).
#
# SKIFF_APP_CMD overrides the program run (default build/dist/skiffrelay),
# e.g. SKIFF_APP_CMD="/usr/bin/python3.11 embedded/app/skiffrelay.py".
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

step() { printf '\n=== %s\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: needs root (the FTPS server listens on port 21)" >&2
  exit 1
fi

step "installing missing Debian packages"
bash tools/install-deps.sh

if [ -z "${SKIFF_APP_CMD:-}" ]; then
  step "building into build/"
  cmake -S . -B build >/dev/null
  cmake --build build -j2
  app=("$src/build/dist/skiffrelay")
  # The launcher runs in its own directory: the tchk marker lands there.
  marker_dir="$src/build/dist"
else
  read -r -a app <<<"$SKIFF_APP_CMD"
  case "${app[-1]}" in /*) ;; *) app[-1]="$src/${app[-1]}" ;; esac
  # A launcher alone writes the marker beside itself; an interpreter with
  # the script writes it into the directory it runs in.
  marker_dir=""
  [ ${#app[@]} -ne 1 ] || marker_dir=$(dirname "${app[0]}")
fi

demo_dir=$(mktemp -d /tmp/skiff-demo.XXXXXX)
server_dir="$demo_dir/server"
rundir="$demo_dir/run"
mkdir -p "$rundir"
[ -n "$marker_dir" ] || marker_dir="$rundir"
markers_before=$(ls "$marker_dir")

cleanup() {
  if [ -f "$server_dir/state.json" ]; then
    /usr/bin/python3.11 tests/servers/ftps_servers.py stop "$server_dir" ||
      true
  fi
  rm -rf "$demo_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "starting a throw-away FTPS server"
/usr/bin/python3.11 tests/servers/ftps_servers.py start pyftpd \
  --workdir "$server_dir" >"$demo_dir/state.json"
field() {
  /usr/bin/python3.11 -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' \
    "$demo_dir/state.json" "$1"
}
host=$(field address)
user=$(field user)
pass=$(field password)
root=$(field root)
echo "server: ftp://$host (port 21), user $user, files in $root"
echo "certificate subject: $(field subject)"

sample="$demo_dir/sample-report.xml"
printf '<report>\n  <created>%s</created>\n  <text>hello over explicit TLS</text>\n</report>\n' \
  "$(date -u +%FT%TZ)" >"$sample"

# Runs the program, shows its line and status; the password is not echoed.
run() {
  local shown=("$@")
  shown[3]="(password)"
  echo "\$ skiffrelay ${shown[*]}"
  local status=0
  out=$(cd "$rundir" && "${app[@]}" "$@") || status=$?
  printf 'printed: %s\n' "$out"
  echo "exit status: $status"
}

step "send"
run send "$host" "$user" "$pass" "$sample"
echo "on the server:"
ls -l "$root"
if cmp -s "$sample" "$root/$(basename "$sample")"; then
  echo "sample-report.xml arrived byte-identical:"
  cat "$root/$(basename "$sample")"
else
  echo "sample-report.xml did NOT arrive intact"
fi

step "test with certificate fields"
run test "$host" "$user" "$pass" yes

step "tchk"
run tchk "$host" "$user" "$pass" -
for f in $(ls "$marker_dir"); do
  if ! grep -qxF "$f" <<<"$markers_before"; then
    echo "marker file: $marker_dir/$f"
    printf 'content: '
    od -c "$marker_dir/$f" | head -n 2
    rm -f "$marker_dir/$f"
  fi
done

step "stopping the server"
