#!/usr/bin/env bash
# Installs what is missing, builds, seeds the machine root ($CORVANE_ROOT, default
# /var/lib/corvane) when it has no registry yet, and serves the sample console at
# http://127.0.0.1:8080 from one PHP process with the extension loaded.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
"$here/scripts/build.sh" build
root=${CORVANE_ROOT:-/var/lib/corvane}
export CORVANE_ROOT=$root
mkdir -p "$root/logs"
if [ ! -f "$root/registry.db" ]; then
  "$here/build/bin/cvreg" import "$here/examples/machine.reg"
  "$here/build/bin/cvreg" add 'HKLM\SOFTWARE\Veltmark\Corvane\Web User Interface\Debug\cvwebuid' \
    /v DebugOutput /t REG_DWORD /d 1 /f
  "$here/build/bin/cvreg" add 'HKLM\SOFTWARE\Veltmark\Corvane\Web User Interface\Debug\cvwebuid' \
    /v DebugLogFile /t REG_SZ /d "$root/logs/settingsext.log,a" /f
  echo "Seeded $root"
fi
# The module finds the agent's libraries through the delay-loading key.
for library in libcvma32.so libcvpmapi.so; do
  "$here/build/bin/cvreg" add 'HKLM\Software\Veltmark\Corvane\delay loading' \
    /v "$library" /t REG_SZ /d "$here/build/lib/$library" /f >/dev/null
done
# The management agent, for as long as the console is served.
"$here/build/bin/cvmad" &
agent=$!
trap 'kill $agent 2>/dev/null; wait $agent 2>/dev/null' EXIT INT TERM
echo "Serving the console at http://127.0.0.1:8080 (trace: $root/logs/settingsext.log)"
php -n -d extension="$here/build/lib/settingsext.so" -S 127.0.0.1:8080 -t "$here/examples"
