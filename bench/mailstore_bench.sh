#!/usr/bin/env bash
# Runs the mail store benchmarks: build/bin/mailstore_bench (the storage server round trip,
# a refresh of 10,000 mailboxes, the snapshot's memory) and bench/mailstore_bench.php
# (vxm_read_mailboxes against apcu_fetch) on a machine root of their own in a temporary
# folder, with the storage server serving 10,000 mailboxes. Needs php8.2-apcu for the
# second floor.
#
#   bench/mailstore_bench.sh [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-15}
root=$(mktemp -d)
export CORVANE_ROOT=$root
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$root"' EXIT
"$here/build/bin/mailstore_bench" "$rounds"
mkdir -p "$root/mail/public"
for i in $(seq 0 9999); do
  echo "user$i@mail$((i % 7)).example:x:1000:1000:User Number $i:/var/mail/u$i:/usr/sbin/nologin:"
done >"$root/mail/passwd"
"$here/build/bin/cvreg" import "$here/examples/machine.reg" >/dev/null
"$here/build/bin/cvreg" import "$here/standins/cvstorage/registration.reg" >/dev/null
"$here/build/bin/cvstorage" 2>/dev/null &
server=$!
for _ in $(seq 1 1000); do [ -S "$root/run/cvstorage.sock" ] && break; sleep 0.01; done
apcu=()
[ -f "$(php-config --extension-dir)/apcu.so" ] && apcu=(-d extension=apcu.so -d apc.enable_cli=1)
php -n -d extension="$here/build/lib/cvwwwui.so" -d extension="$here/build/lib/settingsext.so" \
  "${apcu[@]}" "$here/bench/mailstore_bench.php" "$rounds"
