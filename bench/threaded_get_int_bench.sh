#!/usr/bin/env bash
# settings_get_int on 1, 2, 4 and 8 request threads of the threaded host, against settype()
# on as many (bench/threaded_get_int_bench.php says what is measured). Takes the release
# thread-safe PHP from its cache (or builds it, scripts/zts-php.sh), builds the extensions,
# the host and the agent against it in build-zts-release/, and runs the benchmark:
#
#   bench/threaded_get_int_bench.sh [ROUNDS] [SECONDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
prefix=$("$here/scripts/zts-php.sh" release)
build="$here/build-zts-release"
cmake -S "$here" -B "$build" -DCV_WERROR=ON -DCV_TESTS=OFF -DCV_PHP_CONFIG="$prefix/bin/php-config" >/dev/null
cmake --build "$build" -j"${CV_JOBS:-2}" \
  --target cvhost settingsext cvwwwui cvma32 cvpmapi cvmad cvmactl cvreg settings_policy_seed >/dev/null
CV_BIN_DIR="$build/bin" SETTINGSEXT_SO="$build/lib/settingsext.so" \
  php -n "$here/bench/threaded_get_int_bench.php" "$@"
