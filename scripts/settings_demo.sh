#!/usr/bin/env bash
# Builds the settings catalogue for both products against a freshly seeded agent on a
# temporary machine root, prints the item count per group and round-trips one setting of
# each kind (build/bin/settings_catalogue_demo). Run after scripts/build.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=$here/build/bin
export CORVANE_ROOT=$(mktemp -d /tmp/cvdemo-XXXXXX)
trap 'kill $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$CORVANE_ROOT"' EXIT
"$bin/cvreg" import "$here/examples/machine.reg" >/dev/null
for library in libcvma32.so libcvpmapi.so; do
  "$bin/cvreg" add 'HKLM\Software\Veltmark\Corvane\delay loading' /v "$library" /t REG_SZ \
    /d "$here/build/lib/$library" /f >/dev/null
done
"$bin/cvmad" 2>/dev/null &
agent=$!
for _ in $(seq 1 500); do [ -S "$CORVANE_ROOT/run/cvmad.sock" ] && break; sleep 0.01; done
"$bin/cvmactl" import - >/dev/null <<'JSON'
{"oid":"1.3.6.1.4.1.8642.20.1.100.50.22","int":259200000}
{"oid":"1.3.6.1.4.1.8642.20.1.100.50.300","string":".\\log"}
{"oid":"1.3.6.1.4.1.8642.18.1.38.160","string":""}
{"oid":"1.3.6.1.4.1.8642.11.1.18.20","columns":[8,4],"rows":[]}
JSON
"$bin/settings_catalogue_demo"
