#!/usr/bin/env bash
# The threaded host suite: takes (or builds) the thread-safe PHP from its cache, builds both
# extensions, the threaded host and the stand-ins against it, and runs threaded_host.php.
# Ends with "N passed, N failed"; exits non-zero when anything failed.
#
#   tests/threaded/run.sh [--tsan] [--threads N] [--requests N] [--seconds S]
#
#   (default)   debug ZTS PHP, build-zts/, 8 threads x 200 requests
#   --tsan      PHP, extensions, host and stand-ins built with ThreadSanitizer,
#               build-zts-tsan/; any report fails the run (logs kept in the build folder)
#   --seconds   run each thread for S seconds instead (e.g. --threads 16 --seconds 60)
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
variant=debug
threads=8
requests=200
seconds=0
while [ $# -gt 0 ]; do
  case "$1" in
    --tsan) variant=tsan ;;
    --threads) threads=$2; shift ;;
    --requests) requests=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    *) echo "usage: $0 [--tsan] [--threads N] [--requests N] [--seconds S]" >&2; exit 2 ;;
  esac
  shift
done

fail() { echo "$1"; echo "0 passed, 1 failed"; exit 1; }

prefix=$("$here/scripts/zts-php.sh" "$variant") || fail "the thread-safe PHP did not build"
dir=build-zts
args=()
if [ "$variant" = tsan ]; then
  dir=build-zts-tsan
  args+=(-DCV_SANITIZE=thread)
fi
build="$here/$dir"
targets=(cvhost settingsext cvwwwui cvma32 cvpmapi cvmad cvmactl cvreg cvstorage settings_policy_seed)
cmake -S "$here" -B "$build" -DCV_WERROR=ON -DCV_TESTS=OFF -DCV_PHP_CONFIG="$prefix/bin/php-config" \
  "${args[@]}" >/dev/null || fail "cmake failed"
cmake --build "$build" -j"${CV_JOBS:-2}" --target "${targets[@]}" >"$build/threaded-build.log" 2>&1 ||
  { tail -40 "$build/threaded-build.log"; fail "the build failed"; }
[ -x "$build/bin/cvhost" ] || fail "cvhost was not built against $prefix"

env=(CV_BIN_DIR="$build/bin" SETTINGSEXT_SO="$build/lib/settingsext.so")
if [ "$variant" = tsan ]; then
  logs="$build/tsan-logs"
  rm -rf "$logs" && mkdir -p "$logs"
  env+=(TSAN_OPTIONS="log_path=$logs/tsan history_size=4 second_deadlock_stack=1 suppressions=$here/tests/threaded/tsan.supp")
fi
# A request that never ends would hold the run: bound it well above its usual time.
limit=$((1200 + ${seconds%.*} * 2))
env "${env[@]}" timeout "$limit" php -n -d memory_limit=1G "$here/tests/threaded/threaded_host.php" \
  "$threads" "$requests" "$seconds"
status=$?
[ $status -eq 124 ] && fail "the run did not end within $limit s"
exit $status
