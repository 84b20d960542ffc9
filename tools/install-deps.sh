#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running the demo
# need. Idempotent: does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config zlib1g-dev libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3.11 libpython3.11 python3-m2crypto python3-distutils
  python3-pyftpdlib python3-openssl vsftpd openssl
  util-linux valgrind hyperfine curl time strace
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
