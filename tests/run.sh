#!/usr/bin/env bash
# The test command: installs what is missing, builds into build/ and runs
# every test (unit tests, framework tests, end-to-end runs).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
ctest --test-dir build --output-on-failure --timeout 900
