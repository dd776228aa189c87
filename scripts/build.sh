#!/usr/bin/env bash
# Configures and builds into build/ (or the folder in $1). Further arguments go to CMake,
# e.g. scripts/build.sh build-asan -DCV_SANITIZE=address
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
shift || true
cmake -S "$here" -B "$here/$dir" -DCV_WERROR=ON "$@" >/dev/null
cmake --build "$here/$dir" -j"$(nproc)"
