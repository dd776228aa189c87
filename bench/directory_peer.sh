#!/usr/bin/env bash
# The directory fallback against PHP's ldap extension doing the same list, on the
# 5,000-user directory of build/bin/directory_bench (a slapd of its own over ldapi): rounds
# of ours and the peer one after the other, each round's times and ratio, their minimum and
# median, and the operations each sends. The two lists are compared in every round. Needs
# php8.2-ldap (bench/setup.sh).
#
#   bench/directory_peer.sh [--load N] [ROUNDS]
#
# --load N runs N busy processes beside it, as a machine busy with other work would.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
load=0
if [ "${1:-}" = --load ]; then
  load=${2:?--load needs a count}
  shift 2
fi
rounds=${1:-9}
php -n -d extension=ldap.so -r 'exit(function_exists("ldap_connect") ? 0 : 1);' 2>/dev/null ||
  { echo "PHP's ldap extension is missing: run bench/setup.sh" >&2; exit 1; }
busy=()
trap 'for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true; done' EXIT
for _ in $(seq 1 "$load"); do
  (while :; do :; done) &
  busy+=($!)
done
[ "$load" -gt 0 ] && echo "with $load busy processes beside it"
"$here/build/bin/directory_bench" "$rounds" --peer "$here/bench/directory_peer.php"
