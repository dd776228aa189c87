#!/usr/bin/env bash
# Runs the public folder tree benchmark: build/bin/folder_walk_bench (the smallest single
# folder query as the floor; the walk of 1,000 folders against 1,000 times it) on a machine
# root of its own in a temporary folder, which the program makes and removes.
#
#   bench/folder_walk_bench.sh [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
exec "$here/build/bin/folder_walk_bench" "${1:-15}"
